// The error classes and the text shown for an error that stops the program.
#include "Exceptions.h"

#include <cstdint>
#include <cstdio>

Exception::Exception(std::string message)
    : message_(std::move(message)), address_(__builtin_return_address(0)) {}

std::string FormatFatalError(const Exception& e, const std::string& moduleName) {
  char address[2 * sizeof(void*) + 1];
  std::snprintf(address, sizeof address, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(e.Address())));
  const std::string& message = e.Message();
  std::string text = "Exception ";
  text += e.ClassName();
  text += " in module ";
  text += moduleName;
  text += " at ";
  text += address;
  text += ".\r\n";
  text += message;
  if (message.empty() || message.back() != '.') text += '.';
  text += "\r\n";
  return text;
}
