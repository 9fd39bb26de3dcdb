// The error a piece of test code throws, so that a test can compare its case,
// payload and text; the test fails when nothing is thrown.
#pragma once

#include <gtest/gtest.h>

#include "core/records/redomark_error.h"

namespace redomark::testing {

template <typename Body>
RedomarkError errorOf(Body body) {
  try {
    body();
  } catch (const RedomarkError& e) {
    return e;
  }
  ADD_FAILURE() << "no RedomarkError was thrown";
  return RedomarkError::io("<nothing thrown>");
}

}  // namespace redomark::testing
