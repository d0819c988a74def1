// The errors that stop the program. They are raised where the fault is found
// and caught only by the entry, which shows them and ends with exit status 1.
#pragma once

#include <string>

class Exception {
 public:
  explicit Exception(std::string message);
  virtual ~Exception() = default;

  // The class name shown in the error text ("EMaskException", ...).
  virtual const char* ClassName() const { return "Exception"; }
  // The message in the bytes it is shown in (the platform's code page).
  const std::string& Message() const { return message_; }
  // A code address near the place that raised the error.
  const void* Address() const { return address_; }

 private:
  std::string message_;
  const void* address_;
};

#define KOVREL_ERROR_CLASS(Name)                             \
  class Name : public Exception {                            \
   public:                                                   \
    using Exception::Exception;                              \
    const char* ClassName() const override { return #Name; } \
  }

KOVREL_ERROR_CLASS(EMaskException);
KOVREL_ERROR_CLASS(EFCreateError);
KOVREL_ERROR_CLASS(EWriteError);
KOVREL_ERROR_CLASS(EConvertError);

#undef KOVREL_ERROR_CLASS

// "Exception %s in module %s at %p.\r\n%s%s\r\n": class name, executable file
// name, code address, message, and "." when the message lacks a final ".".
std::string FormatFatalError(const Exception& e, const std::string& moduleName);
