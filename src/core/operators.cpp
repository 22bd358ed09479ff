#include "operators.hpp"
