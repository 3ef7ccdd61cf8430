// The program's exception base: a standard exception carrying its message.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace morvex {

class BaseException : public std::exception {
public:
    explicit BaseException(std::string message) : _message(std::move(message)) {}
    const char* what() const noexcept override { return _message.c_str(); }
    const std::string& message() const noexcept { return _message; }

protected:
    std::string _message;
};

}  // namespace morvex
