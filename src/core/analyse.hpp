#pragma once

#include "matrix.hpp"

namespace varlo {}
