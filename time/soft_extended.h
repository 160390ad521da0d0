// SPDX-License-Identifier: MIT
#pragma once

#include <boost/multiprecision/cpp_bin_float.hpp>
#include <cstdint>
#include <limits>
#include <ostream>
#include <type_traits>

#include "ostrevan/export.h"

namespace ostrevan {

/// The x87 extended format in software: a 64-bit binary significand and the
/// exponent range of a 15-bit exponent (normal numbers from 2^-16382 to just
/// below 2^16384), every result rounded to nearest, ties to even, as the
/// hardware rounds it. Unlike the hardware it has no subnormal numbers, which
/// the clock arithmetic never comes near. It offers what that arithmetic
/// uses: conversion from the language's numbers, + - * /, comparisons, trunc
/// and isnan, and explicit conversion back to double and to integers.
///
/// Built on Boost.Multiprecision's binary floating-point type (header-only),
/// which rounds products, quotients and conversions to nearest. Two of its
/// steps go through a format of more than 2 * 64 + 1 bits instead, where the
/// result is exact or rounded so finely that rounding it to 64 bits gives the
/// correctly rounded one: a sum of operands of opposite sign whose exponents
/// lie 65 or more apart, whose lower bits Boost's shortcut loses (it rounds
/// such a sum down one unit in the last place about half the time), and the
/// conversion from a floating-point type of more than 64 significand bits
/// (long double on arm64), which Boost assembles in steps that each round.
class OSTREVAN_EXPORT TSoftExtended {
 public:
  TSoftExtended() = default;

  /// Implicit, as between the language's own floating-point types.
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  TSoftExtended(T x) : Value_(Converted(x)) {}

  /// The value converted to an arithmetic type, rounded as the cast from long double would be.
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  explicit operator T() const {
    return static_cast<T>(Value_);
  }

  friend TSoftExtended operator+(const TSoftExtended& a, const TSoftExtended& b) {
    return Sum(a.Value_, b.Value_);
  }
  friend TSoftExtended operator-(const TSoftExtended& a, const TSoftExtended& b) {
    return Sum(a.Value_, -b.Value_);
  }
  friend TSoftExtended operator*(const TSoftExtended& a, const TSoftExtended& b) {
    return Of(a.Value_ * b.Value_);
  }
  friend TSoftExtended operator/(const TSoftExtended& a, const TSoftExtended& b) {
    return Of(a.Value_ / b.Value_);
  }

  friend bool operator==(const TSoftExtended& a, const TSoftExtended& b) {
    return a.Value_ == b.Value_;
  }
  friend bool operator<(const TSoftExtended& a, const TSoftExtended& b) {
    return a.Value_ < b.Value_;
  }
  friend bool operator>(const TSoftExtended& a, const TSoftExtended& b) {
    return a.Value_ > b.Value_;
  }

  /// x without its fraction, cut toward zero.
  friend TSoftExtended trunc(const TSoftExtended& x) {
    return Of(boost::multiprecision::trunc(x.Value_));
  }
  friend bool isnan(const TSoftExtended& x) { return boost::multiprecision::isnan(x.Value_); }

  friend std::ostream& operator<<(std::ostream& out, const TSoftExtended& x) {
    return out << x.Value_;
  }

 private:
  using TValue = boost::multiprecision::number<
      boost::multiprecision::cpp_bin_float<64, boost::multiprecision::digit_base_2, void, int16_t,
                                           -16382, 16383>,
      boost::multiprecision::et_off>;
  using TWide = boost::multiprecision::number<
      boost::multiprecision::cpp_bin_float<130, boost::multiprecision::digit_base_2>,
      boost::multiprecision::et_off>;

  template <class T>
  static TValue Converted(T x) {
    if constexpr (std::numeric_limits<T>::digits <= 64) {
      return TValue(x);
    } else {
      return TValue(TWide(x));
    }
  }

  static TSoftExtended Sum(const TValue& a, const TValue& b) {
    // Zeros, infinities and NaN have exponents beyond the finite ones and
    // take Boost's own path.
    constexpr int kFinite = 16383;
    int ea = a.backend().exponent(), eb = b.backend().exponent();
    bool farApart = ea - eb >= 65 || eb - ea >= 65;
    if (a.sign() != b.sign() && ea <= kFinite && eb <= kFinite && farApart) {
      return Of(TValue(TWide(a) + TWide(b)));
    }
    return Of(a + b);
  }

  static TSoftExtended Of(const TValue& value) {
    TSoftExtended x;
    x.Value_ = value;
    return x;
  }

  TValue Value_;
};

}  // namespace ostrevan
