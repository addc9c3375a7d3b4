// What the simulated machine reports of a run: one event per thing that
// happened, in order, with its virtual time. The same events are printed as
// a readable trace or as JSON lines, and drawn as a timeline.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// One named value of an event, for the JSON form.
struct TraceField {
    std::string Name;  // JSON key
    std::string Value; // the value as JSON text: a number, true/false, null or a quoted string
};

struct TraceEvent {
    uint64_t Time = 0;              // machine time in 100-ns units since the scenario began
    std::string Kind;               // eval, log, request, cycle, expiry, reset, boot, process,
                                    // power, device, setup
    std::string Who;                // firmware, driver, machine, or a process's name
    std::string Text;               // the readable description
    std::vector<TraceField> Fields; // the kind's own values, in order

    // Adds a field; strings are quoted and escaped.
    TraceEvent& Number(const std::string& name, int64_t value);
    TraceEvent& String(const std::string& name, const std::string& value);
    TraceEvent& Bool(const std::string& name, bool value);
    TraceEvent& Null(const std::string& name);
    // The raw JSON text of a field, if the event has it.
    std::optional<std::string> Field(const std::string& name) const;
};

// "d hh:mm:ss.mmm" (the day only from the first day on).
std::string FormatTime(uint64_t time);
// One line of the readable trace.
std::string FormatReadable(const TraceEvent& event);
// One JSON object on one line: t, kind, who, text, then the fields.
std::string FormatJson(const TraceEvent& event);
// A status as eight hexadecimal digits with its name where known.
std::string FormatStatus(int32_t status);
// "0x2A"
std::string FormatByte(uint8_t value);
// "0x2A StateWatchA", the name where the code has one.
std::string DescribeState(uint8_t code);
// Text between the scenario's UTF-8 and the platform's UTF-16. An invalid
// UTF-8 sequence widens to U+FFFD, and so does half a surrogate pair when it
// narrows.
std::u16string Widen(const std::string& text);
std::string Narrow(const std::u16string& text);
// The offset of the first invalid UTF-8 sequence, or npos.
size_t FindInvalidUtf8(const std::string& text);

} // namespace sim
