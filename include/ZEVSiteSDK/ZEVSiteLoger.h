/// @file
/// The SDK's diagnostic logger, ZEVSiteLoger.
#pragma once

#include <ZEVSiteSDK/ZEVSiteExport.h>
#include <ZEVSiteSDK/ZEVSiteValue.h>

#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

/// The SDK's diagnostic logger. Every refused call and every failure the SDK notices is
/// reported here as one line; nothing is reported to the host in any other way.
///
/// Output is off until setDebug(true) is called (ZEVSiteManager::setEnableLog does that).
/// While it is on, each line goes to the sink: by default standard error with a short
/// prefix, or the host's function set with setSink, which receives the message exactly as
/// formatted. All operations are thread-safe and never throw. The host must not parse the
/// lines: their wording is not part of the API.
class ZEVSITE_EXPORT ZEVSiteLoger {
 public:
  /// Receives one finished line; called on the thread that logged, possibly from several
  /// threads at once (calls are serialised by the logger). Must not throw.
  using Sink = std::function<void(std::string_view line)>;

  /// Switches output on or off for the whole process. Any thread.
  static void setDebug(bool enabled) noexcept;
  /// Whether output is on. Any thread; the answer may change at once on another thread.
  static bool isDebug() noexcept;
  /// Routes lines to `sink`; an empty function restores the standard-error default. Any
  /// thread; waits for a line being written to finish. A sink that throws loses that line.
  static void setSink(Sink sink) noexcept;

  /// Formats `format`, replacing each "%@" in turn with the description of the next
  /// argument ("(null)" when the arguments run out), and writes the line while output is on.
  /// Any thread; calls the sink on the calling thread. A line that cannot be formatted is
  /// dropped.
  template <class... Args>
  static void adLog(std::string_view format, const Args&... args) noexcept {
    if (!isDebug()) return;
    try {
      std::array<std::string, sizeof...(Args)> descriptions{describe(args)...};
      emit(format, descriptions.data(), descriptions.size());
    } catch (...) {
      // A logger that cannot format must stay silent rather than disturb the host.
    }
  }

  ///@{
  /// The text that "%@" stands for: text as it is, "(null)" for a null pointer, absent text,
  /// an absent or null value; an exception's what(); a number in decimal; a bool value as
  /// "1" or "0"; a dictionary value as its entry count. Any thread; may throw
  /// std::bad_alloc (adLog catches it).
  static std::string describe(std::string_view text) { return std::string(text); }
  static std::string describe(const char* text) { return text ? text : "(null)"; }
  static std::string describe(const std::string& text) { return text; }
  static std::string describe(const ZEVSiteText& text) { return text ? *text : "(null)"; }
  static std::string describe(const std::exception& error) { return error.what(); }
  static std::string describe(const ZEVSiteValue& value);
  template <class T>
  requires std::is_arithmetic_v<T>
  static std::string describe(T number) { return std::to_string(number); }
  ///@}

 private:
  static void emit(std::string_view format, const std::string* arguments,
                   std::size_t count) noexcept;
};
