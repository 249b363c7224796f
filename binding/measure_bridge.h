// The measuring callable crosses from Python into the engine through pybind11's own
// conversion of callables: None becomes an empty MeasureFunc, a pybind11-bound
// native function of exactly this signature is called directly, and any other
// callable is wrapped with one strong reference that the engine holds for its whole
// life and drops, under the interpreter lock, when it is destroyed. Errors raised by
// the callable, or by converting its result to TextSize, unwind through the engine
// and reach the caller through pybind11's default exception translation.
#pragma once

#ifndef PYBIND11_SIMPLE_GIL_MANAGEMENT
#error "binding/module.cpp defines PYBIND11_SIMPLE_GIL_MANAGEMENT before any pybind11 header"
#endif

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include <type_traits>

#include "engine/records.h"

static_assert(std::is_same_v<quillset::MeasureFunc,
                             std::function<quillset::TextSize(const std::string&, int32_t)>>,
              "the bridge converts callables to exactly this signature");
