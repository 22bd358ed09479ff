#include "analyse.hpp"
