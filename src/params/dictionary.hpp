// Tables of parameter codes: descriptive names and display labels (declared in the public
// header: CodeName, parameter_names, parameter_labels).
#pragma once

#include "orvelio/orvelio.hpp"
