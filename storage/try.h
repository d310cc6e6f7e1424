// ORVANE_TRY: the one way an error travels up between layers.
//
//   ORVANE_TRY(cache.write_page(id, image));  // a call whose value is not needed
//   auto page = cache.fetch(id);
//   ORVANE_TRY(page);                         // a result kept for later use
//
// When `expr` (a std::expected) holds an error, the enclosing function returns
// it as std::unexpected; the function's own error type must be constructible
// from it. A prvalue is moved from; an lvalue is only read and stays valid.
#pragma once

#include <expected>
#include <utility>

#define ORVANE_TRY(expr)                                       \
  if (auto&& orvane_try_result_ = (expr); !orvane_try_result_) \
  return std::unexpected(std::forward<decltype(orvane_try_result_)>(orvane_try_result_).error())
