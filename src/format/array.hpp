// Owned numeric arrays (orvelio::Array, declared in the public header) that the binding hands
// to numpy without copying.
#pragma once

#include "orvelio/orvelio.hpp"
