// The StepLoop class of quenda._steploop (object.cpp).
#pragma once

#include "../capi/pyref.hpp"

namespace quenda::steploop {

// Creates the StepLoop class (a new reference, or null with the error set).
PyObject* create_step_loop_type();

}  // namespace quenda::steploop
