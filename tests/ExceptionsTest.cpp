// The text shown for an error that stops the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "Exceptions.h"

namespace {

// Splits "Exception <class> in module <module> at <address>.\r\n<rest>" and
// checks the address against the error's own.
std::string Rest(const Exception& e, const std::string& module) {
  const std::string text = FormatFatalError(e, module);
  const std::string head =
      std::string("Exception ") + e.ClassName() + " in module " + module + " at ";
  EXPECT_EQ(head, text.substr(0, head.size()));
  const size_t end = text.find(".\r\n", head.size());
  EXPECT_NE(std::string::npos, end);
  if (end == std::string::npos) return text;
  const std::string address = text.substr(head.size(), end - head.size());
  EXPECT_EQ(2 * sizeof(void*), address.size()) << address;
  EXPECT_EQ(std::string::npos, address.find_first_not_of("0123456789ABCDEF")) << address;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(e.Address()), std::strtoull(address.c_str(), nullptr, 16));
  return text.substr(end + 3);
}

TEST(FormatFatalError, ClassModuleAddressAndMessage) {
  const EMaskException e("'*[a' is an invalid mask at (3)");
  EXPECT_EQ("'*[a' is an invalid mask at (3).\r\n", Rest(e, "Kovrel.exe"));
}

TEST(FormatFatalError, AddsTheFinalDotOnlyWhenMissing) {
  EXPECT_EQ("Done.\r\n", Rest(EWriteError("Done."), "Kovrel.exe"));
  EXPECT_EQ("Done..\r\n", Rest(EWriteError("Done.."), "Kovrel.exe"));
  EXPECT_EQ(".\r\n", Rest(EConvertError(""), "Kovrel.exe"));
  EXPECT_EQ("a. b.\r\n", Rest(EFCreateError("a. b"), "kovrel"));
}

TEST(FormatFatalError, KeepsMessageBytesAsTheyAre) {
  // A CP932 message whose last byte is a trail byte 0x5C, and one ending in a
  // full stop of its own script: only "." counts as the final dot.
  EXPECT_EQ("\x95\x5C.\r\n", Rest(Exception("\x95\x5C"), "Kovrel.exe"));
  EXPECT_EQ("\x81\x42.\r\n", Rest(Exception("\x81\x42"), "Kovrel.exe"));
}

TEST(FormatFatalError, NamesEveryClass) {
  EXPECT_STREQ("Exception", Exception("x").ClassName());
  EXPECT_STREQ("EMaskException", EMaskException("x").ClassName());
  EXPECT_STREQ("EFCreateError", EFCreateError("x").ClassName());
  EXPECT_STREQ("EWriteError", EWriteError("x").ClassName());
  EXPECT_STREQ("EConvertError", EConvertError("x").ClassName());
  const std::string text = FormatFatalError(EConvertError("'' is not a valid integer value"), "M");
  EXPECT_EQ(0u, text.find("Exception EConvertError in module M at "));
}

}  // namespace
