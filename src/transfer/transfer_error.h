#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace installer::transfer {

// The code a cancelled transfer carries, whoever cancelled it: the owner, or the size
// cap. The graphical flow shows it as a cancelled run, never as a failure.
inline constexpr int cancelledCode = -999;

// A transport failure: cannot connect, time-out, certificate refused, connection lost,
// or cancellation. The code is libcurl's (or cancelledCode); the description is what
// the user reads, in Chinese with the technical detail after it.
class TransferError : public std::runtime_error {
public:
    TransferError(int code, const std::string& description)
        : std::runtime_error(description), code_(code) {}
    int code() const { return code_; }
    bool cancelled() const { return code_ == cancelledCode; }

private:
    int code_;
};

TransferError cancellation();

// Whether the error is a cancellation, so callers need not catch and rethrow.
bool isCancellation(const std::exception_ptr& error);

} // namespace installer::transfer
