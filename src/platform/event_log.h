#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace installer::platform {

// Where the installer tells support what happened. A log that cannot be written must
// never change what the user sees, so writing never throws and never waits for a disk;
// an implementation may drop a line rather than make its caller wait.
class EventLog {
public:
    virtual ~EventLog() = default;
    // One event, without its line feed.
    virtual void write(std::string line) const noexcept = 0;
};

// Keeps nothing: the log of callers that have none.
const EventLog& noEventLog();

// One event: its name, then "key=value" fields, written as one line when the object
// goes (at the end of the full expression for a temporary). Values with spaces, quotes
// or control characters are quoted and escaped, so an event never spans two lines.
class Event {
public:
    Event(const EventLog& log, std::string_view name);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    Event& with(std::string_view key, std::string_view value);
    Event& with(std::string_view key, const char* value) {
        return with(key, std::string_view(value));
    }
    Event& with(std::string_view key, const std::string& value) {
        return with(key, std::string_view(value));
    }
    template <std::integral T> Event& with(std::string_view key, T value) {
        return with(key, std::string_view(std::to_string(value)));
    }
    Event& with(std::string_view key, bool value) {
        return with(key, std::string_view(value ? "yes" : "no"));
    }
    // The error being handled (or `error`): its message and, when it has one, the
    // detail only the log gets.
    Event& withError(std::exception_ptr error = std::current_exception());

private:
    const EventLog& log_;
    std::string line_;
};

// Milliseconds since `start`, on the steady clock.
std::int64_t elapsedMilliseconds(std::chrono::steady_clock::time_point start);

// The steps of a run, one after another: "step name=<name> at=begin" when one begins, and
// "at=end" with its duration and result when the next begins or this object goes; a step
// that an exception ends is "failed".
class LoggedSteps {
public:
    explicit LoggedSteps(const EventLog& log) : log_(log) {}
    LoggedSteps(const LoggedSteps&) = delete;
    LoggedSteps& operator=(const LoggedSteps&) = delete;
    ~LoggedSteps() { end(); }

    void begin(std::string name);
    void end() noexcept;

private:
    const EventLog& log_;
    std::string name_;
    std::chrono::steady_clock::time_point start_;
    int exceptions_ = 0;
};

// Best-effort housekeeping whose failure never changes the outcome: runs `work`, and
// when it throws, logs what failed and that it is ignored on purpose. Returns whether
// `work` completed.
bool quietly(const EventLog& log, std::string_view action, const std::function<void()>& work);

// The same for a failure already caught: call it inside the catch block.
void ignoredFailure(const EventLog& log, std::string_view action);

} // namespace installer::platform
