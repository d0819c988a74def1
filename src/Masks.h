// Wildcard masks of the name filters: "*", "?", byte sets "[a-z]" / "[!a-z]",
// literals (a-z folded to upper case), and double-byte literals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Platform.h"

// A compiled mask. It lives for one question: built, asked once, released.
class TMask final {
 public:
  // Compiles under the character rule of the running process.
  explicit TMask(const std::string& mask);
  // Compiles under an explicit rule (CP932, UTF-8 or single bytes). Raises
  // EMaskException when the mask is invalid.
  TMask(std::string_view mask, platform::CharRule rule);
  ~TMask();
  TMask(const TMask&) = delete;
  TMask& operator=(const TMask&) = delete;

  // True when the whole name fits the whole mask. Raises nothing.
  bool Accepts(std::string_view name) const;

  // The most elements that may carry a star, and so the depth of the stack
  // of alternatives that Accepts keeps.
  static constexpr int MaxStars = 30;

  // One unit of the compiled mask (defined with the compiler).
  struct Element;

 private:
  // Appends one element, taking the pending star. `last` is the 0-based
  // position of the byte that completes it.
  void Append(Element& e, size_t last);
  size_t ReadSet(std::string_view mask, size_t pos, Element& e) const;

  std::unique_ptr<Element[]> elements_;
  int count_ = 0;
  platform::CharRule rule_;
  // Compiling state.
  bool pendingStar_ = false;
  int stars_ = 0;
  size_t starFault_ = 0;  // 1-based position of the 31st star, 0 for none
};

// True when `name` fits `mask`. Raises EMaskException for an invalid mask.
bool NameFitsMask(const std::string& name, const std::string& mask);
// The same under an explicit character rule.
bool NameFitsMask(std::string_view name, std::string_view mask, platform::CharRule rule);
