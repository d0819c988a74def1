// libFuzzer target: compiles and tests arbitrary masks and names under every
// character rule, and compares short cases against the plain matcher.
// Input: one byte choosing the rule, the mask, a zero byte, the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "../MasksReference.h"
#include "Exceptions.h"
#include "Masks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  constexpr platform::CharRule kRules[] = {platform::CharRule::Cp932, platform::CharRule::Utf8,
                                           platform::CharRule::SingleByte};
  const platform::CharRule rule = kRules[data[0] % 3];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t zero = rest.find('\0');
  const std::string_view maskPart = rest.substr(0, zero);
  const std::string_view namePart =
      zero == std::string_view::npos ? rest.substr(rest.size()) : rest.substr(zero + 1);

  // Copies in blocks of exactly their size, so that any read past the end
  // is caught (a std::string has spare capacity).
  std::unique_ptr<char[]> maskBytes(new char[maskPart.size()]);
  std::unique_ptr<char[]> nameBytes(new char[namePart.size()]);
  std::memcpy(maskBytes.get(), maskPart.data(), maskPart.size());
  std::memcpy(nameBytes.get(), namePart.data(), namePart.size());
  const std::string_view mask(maskBytes.get(), maskPart.size());
  const std::string_view name(nameBytes.get(), namePart.size());

  const maskref::Compiled ref = maskref::Compile(mask, rule);
  size_t fault = 0;
  bool fits = false;
  try {
    const TMask m(mask, rule);
    fits = m.Accepts(name);
  } catch (const EMaskException& e) {
    fault = std::strtoul(e.Message().c_str(), nullptr, 10);
    if (fault == 0 || fault > mask.size() + 1) std::abort();
  }
  if (fault != ref.error) std::abort();
  // The plain matcher tries every alternative: only short names.
  if (fault == 0 && name.size() <= 12 && fits != maskref::Match(ref, name, rule)) std::abort();
  return 0;
}
