// The root of the program's exceptions. Every failure inside the transport, the FTP client
// and the device is an exception that carries a message and names its own class, so that
// log lines can print "ClassName message" the same way everywhere.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message = std::string()) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// Declares an exception class that only adds its name: VELDRA_EXCEPTION(EIdException, Exception).
#define VELDRA_EXCEPTION(Name, Base)                                 \
  class Name : public Base {                                         \
   public:                                                           \
    using Base::Base;                                                \
    const char* ClassName() const noexcept override { return #Name; } \
  }
