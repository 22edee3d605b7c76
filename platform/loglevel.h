#pragma once
// The level of a log line, given where the line is made: the sinks show it
// (the journal's priority prefix, the window's colours) and never guess it
// from the words of the text. The values are the syslog priorities.

#include <QString>
#include <concepts>
#include <functional>
#include <type_traits>
#include <utility>

namespace platform {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// Where a part below the core writes its log lines, each with its level. A
// function of the text alone converts to it: its lines are information, so
// the callers and tests written before the levels keep working.
class LogHook {
  public:
    LogHook() = default;
    LogHook(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
    template <typename F>
    requires(!std::same_as<F, LogHook> && std::invocable<F&, const QString&, LogLevel>)
        LogHook(F f)  // NOLINT(google-explicit-constructor)
    {
        if constexpr (std::is_constructible_v<bool, const F&>)
            if (!static_cast<bool>(f)) return;
        fn_ = std::move(f);
    }
    template <typename F>
    requires(std::invocable<F&, const QString&> && !std::invocable<F&, const QString&, LogLevel>)
        LogHook(F f)  // NOLINT(google-explicit-constructor)
    {
        if constexpr (std::is_constructible_v<bool, const F&>)
            if (!static_cast<bool>(f)) return;
        fn_ = [f = std::move(f)](const QString& text, LogLevel) mutable { f(text); };
    }

    void operator()(const QString& text, LogLevel level = LogLevel::Info) const {
        if (fn_) fn_(text, level);
    }
    explicit operator bool() const { return static_cast<bool>(fn_); }

  private:
    std::function<void(const QString&, LogLevel)> fn_;
};

}  // namespace platform
