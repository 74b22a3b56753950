#pragma once
// Name and text checks shared by the library's builders (not installed for callers).
#include <cstddef>
#include <string>

namespace TarpFirewall::detail {

// Throws CTarpFWException (invalid configuration) for an empty name or one over `max` bytes.
void CheckName(const std::string& name, size_t max, const char* what);
// Throws for a text over `max` bytes (empty is fine).
void CheckText(const std::string& text, size_t max, const char* what);
// Throws CTarpFWException (invalid configuration) with `message`.
[[noreturn]] void Refuse(const std::string& message);

}  // namespace TarpFirewall::detail
