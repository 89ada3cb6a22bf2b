#pragma once

#include <adbc.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace zv::testing {

// An AdbcError that releases itself, so tests never leak messages.
struct ScopedError {
  AdbcError error{};
  ~ScopedError() {
    if (error.release) error.release(&error);
  }
  AdbcError* get() { return &error; }
  std::string message() const { return error.message ? error.message : "(null)"; }
  std::string sqlstate() const { return std::string(error.sqlstate, 5); }
};

// Prints the driver's own message when a status expectation fails.
#define EXPECT_ADBC_OK(expr, err) EXPECT_EQ(ADBC_STATUS_OK, (expr)) << (err).message()
#define ASSERT_ADBC_OK(expr, err) ASSERT_EQ(ADBC_STATUS_OK, (expr)) << (err).message()

}  // namespace zv::testing
