#include "platform/event_log.h"

#include "platform/installer_error.h"

#include <algorithm>
#include <system_error>

namespace installer::platform {

namespace {

class NoEventLog final : public EventLog {
public:
    void write(std::string) const noexcept override {}
};

// A bare value reads best; anything that could be taken for a separator, a line end or
// the end of a value is quoted and escaped. Bytes past ASCII (Chinese text) stay as
// they are.
void appendValue(std::string& line, std::string_view value) {
    const bool bare = !value.empty() && value.find_first_of(" \"\\=") == std::string_view::npos &&
                      std::none_of(value.begin(), value.end(), [](char c) {
                          return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                      });
    if (bare) {
        line += value;
        return;
    }
    static constexpr char digits[] = "0123456789abcdef";
    line += '"';
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"':
            line += "\\\"";
            break;
        case '\\':
            line += "\\\\";
            break;
        case '\n':
            line += "\\n";
            break;
        case '\r':
            line += "\\r";
            break;
        case '\t':
            line += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                line += "\\x";
                line += digits[c >> 4];
                line += digits[c & 15];
            } else {
                line += ch;
            }
        }
    }
    line += '"';
}

} // namespace

const EventLog& noEventLog() {
    static const NoEventLog none;
    return none;
}

Event::Event(const EventLog& log, std::string_view name) : log_(log), line_(name) {}

Event::~Event() {
    log_.write(std::move(line_));
}

Event& Event::with(std::string_view key, std::string_view value) {
    line_ += ' ';
    line_ += key;
    line_ += '=';
    appendValue(line_, value);
    return *this;
}

Event& Event::withError(std::exception_ptr error) {
    if (!error)
        return *this;
    try {
        std::rethrow_exception(error);
    } catch (const InstallerError& refusal) {
        with("error", refusal.what());
        if (!refusal.detail().empty())
            with("detail", refusal.detail());
    } catch (const std::system_error& system) {
        with("error", system.what()).with("errno", system.code().value());
    } catch (const std::exception& other) {
        with("error", other.what());
    } catch (...) {
        with("error", "unknown");
    }
    return *this;
}

std::int64_t elapsedMilliseconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

void LoggedSteps::begin(std::string name) {
    end();
    name_ = std::move(name);
    start_ = std::chrono::steady_clock::now();
    exceptions_ = std::uncaught_exceptions();
    Event(log_, "step").with("name", name_).with("at", "begin");
}

void LoggedSteps::end() noexcept {
    if (name_.empty())
        return;
    try {
        Event(log_, "step")
            .with("name", name_)
            .with("at", "end")
            .with("ms", elapsedMilliseconds(start_))
            .with("result", std::uncaught_exceptions() > exceptions_ ? "failed" : "ok");
    } catch (...) { // only an allocation can fail here, and a step's end is not worth more
    }
    name_.clear();
}

bool quietly(const EventLog& log, std::string_view action, const std::function<void()>& work) {
    try {
        work();
        return true;
    } catch (...) {
        ignoredFailure(log, action);
        return false;
    }
}

void ignoredFailure(const EventLog& log, std::string_view action) {
    try {
        Event(log, "ignored")
            .with("action", action)
            .withError()
            .with("why", "housekeeping, which never changes the outcome");
    } catch (...) { // the log of a failure must not become one
    }
}

} // namespace installer::platform
