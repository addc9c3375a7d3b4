// Scenario files, their expectations and the timeline picture.
#include "sim/expectations.h"
#include "sim/scenario.h"
#include "sim/timeline_svg.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Errors(const std::string& text) {
    std::vector<std::string> errors;
    for (const sim::ScenarioError& error : sim::ParseScenario(text).Errors) {
        errors.push_back(std::to_string(error.Line) + ": " + error.Message);
    }
    return errors;
}

TEST(ScenarioTest, DurationsAndTimes) {
    uint64_t duration = 0;
    ASSERT_TRUE(sim::ParseDuration("1h30m", &duration));
    EXPECT_EQ(duration, 90 * hk::kMinute);
    ASSERT_TRUE(sim::ParseDuration("2d250ms", &duration));
    EXPECT_EQ(duration, 48 * hk::kHour + 250 * hk::kMillisecond);
    for (const char* bad : {"", "10", "s", "10x", "1.5s", "-3s", "10s5"}) {
        EXPECT_FALSE(sim::ParseDuration(bad, &duration)) << bad;
    }

    sim::Scenario scenario = sim::ParseScenario("# set-up\n"
                                                "debugger on\n"
                                                "@10s sleep   # a comment\n"
                                                "+5s wake\n"
                                                "run 1m\n"
                                                "reboot\n");
    ASSERT_TRUE(scenario.Errors.empty());
    ASSERT_EQ(scenario.Steps.size(), 5u);
    EXPECT_FALSE(scenario.Steps[0].NeedsMachine);
    EXPECT_EQ(scenario.Steps[0].Line, 2);
    EXPECT_EQ(scenario.Steps[1].Time, 10 * hk::kSecond);
    EXPECT_EQ(scenario.Steps[2].Time, 15 * hk::kSecond);
    EXPECT_EQ(scenario.Steps[3].Time, 75 * hk::kSecond) << "run ends a minute later";
    EXPECT_EQ(scenario.Steps[4].Time, 75 * hk::kSecond);
}

// Scenario text is UTF-8 and the platform's text UTF-16: both ways, with
// pairs beyond the plane; half a pair narrows to the replacement character.
TEST(ScenarioTest, TextIsUtf8OnOneSideAndUtf16OnTheOther) {
    EXPECT_EQ(sim::Widen("\xC3\x84rger \xF0\x9F\x98\x80"), u"\u00C4rger \U0001F600");
    EXPECT_EQ(sim::Narrow(u"\u00C4rger \U0001F600 \u13A0"),
              "\xC3\x84rger \xF0\x9F\x98\x80 \xE1\x8E\xA0");
    EXPECT_EQ(sim::Narrow(std::u16string(1, char16_t(0xD83D))), "\xEF\xBF\xBD");
    EXPECT_EQ(sim::FindInvalidUtf8("plain \xE2\x82\xAC"), std::string::npos);
    EXPECT_EQ(sim::FindInvalidUtf8("ab\xF4\x90\x80\x80"), 2u) << "beyond U+10FFFF";
    EXPECT_EQ(sim::FindInvalidUtf8("\x80"), 0u) << "a follower without its lead";
}

TEST(ScenarioTest, EveryBadLineIsReportedWithItsNumber) {
    const char* power = "usage: power device d0|d1|d2|d3 or power query s0|...|s5|d0|...|d3";
    // Each line of one scenario and its error; null for a good line.
    const std::pair<const char*, const char*> lines[] = {
        {"sleep", nullptr},
        {"@1m wake", nullptr},
        {"@30s sleep", "the time @30s is before the previous step"},
        {"send svc raw 0x01", "raw input is pairs of hexadecimal digits"},
        {"registry set K N dword -1", "a dword value takes one number"},
        {"registry set K N sz", "a sz value takes one text"},
        {"firmware fail TOOLONG", "a method is four characters, or * for every method"},
        {"firmware status 0x80",
         "firmware status takes a byte from 0 to 0x7F (0x80 is the firmware's reset flag)"},
        {"start svc", "usage: start LABEL PATH [as user|admin]"},
        {"\"unclosed", "a quoted text is not closed"},
        {"+ wake", "\"+\" is not a time"},
        {"hibernate later", "usage: hibernate [shutdown] [hang]"},
        {"letter global EE: \\Device\\HarddiskVolume3", "a drive letter such as E:"},
        {"letter link mallory C:",
         "usage: letter global LETTER TARGET | letter define|link LABEL LETTER TARGET"},
        {"open svc \\\\.\\VKT0001 extra", "usage: open LABEL [NAME] [access none|read|read-write]"},
        {"open svc access all", "unknown access all (none, read or read-write)"},
        {"attach later", "usage: attach fail"},
        {"registry set K N sz \"a\"\"", "a quoted text is not closed"},
        {"sleep s4", "usage: sleep [s1|s2|s3] [hang]"},
        {"power device s3", power},
        {"power query d4", power},
        {"pnp eject",
         "usage: pnp "
         "start|query-stop|stop|cancel-stop|query-remove|cancel-remove|surprise-removal"},
        {"firmware sleep maybe", "usage: firmware sleep halt|count"},
        {"firmware answer GSXS garbage",
         "firmware answer takes a method and empty, foreign or short"},
        {"firmware fail FVKT form 3",
         "an input form is none (no argument) or an argument's length: 1, 2 or 4"},
        // A lead byte without its follower, a surrogate, an overlong '/'.
        {"start svc \"C:\\A\xC3\" as user", "not UTF-8 text at byte 16 of the line"},
        {"start svc \"C:\\A\xED\xA0\x80\"", "not UTF-8 text at byte 16 of the line"},
        {"start svc \"C:\\\xC0\xAF\"", "not UTF-8 text at byte 15 of the line"},
    };
    std::string text;
    std::vector<std::string> expected;
    for (size_t line = 0; line < std::size(lines); line++) {
        text += std::string(lines[line].first) + "\n";
        if (lines[line].second != nullptr) {
            expected.push_back(std::to_string(line + 1) + ": " + lines[line].second);
        }
    }
    EXPECT_EQ(Errors(text), expected);
    EXPECT_TRUE(Errors("send svc raw 0100 code 0x222000 out 16\n"
                       "registry set \"\\REGISTRY\\MACHINE\\X Y\" Names multi_sz a b\n"
                       "registry set K Bytes binary 00ff 10\n"
                       "letter global e: C:\\Users\n"
                       "letter define mallory Q: \\Device\\HarddiskVolume3\\Users\n"
                       "open svc access none\n"
                       "open svc \\\\.\\VKT0001 access read-write\n"
                       "sleep s1 hang\n"
                       "pnp surprise-removal\n"
                       "firmware answer GSXS short form none times 1\n"
                       "start svc \"C:\\\xC3\x84rger \xF0\x9F\x98\x80.exe\"\n")
                    .empty());
}

TEST(ScenarioTest, ExpectationsMatchInOrderAndForbiddenTextNowhere) {
    std::vector<sim::TraceEvent> events{{0, "boot", "", "boot 1"},
                                        {90 * hk::kSecond, "expiry", "", "watchdog expired"},
                                        {0, "boot", "", "boot 2"}};
    // What matches: every scenario's expectations.
    EXPECT_EQ(sim::CheckExpectations("boot 2\nboot 1\n", events).size(), 1u) << "out of order";
    EXPECT_EQ(sim::CheckExpectations("! expired\n", events).size(), 1u);
}

// A day whose only events are at its start, an hour in and at its end is
// drawn no wider than a short run, with the quiet stretches marked.
TEST(ScenarioTest, TimelineOfADayStaysReadable) {
    std::vector<sim::TraceEvent> events;
    std::vector<sim::WatchdogSample> samples;
    for (uint64_t t = 0; t <= 24 * hk::kHour; t += 10 * hk::kSecond) {
        events.push_back({t, "eval", "cycle"});
        events.back().String("method", "FVKT").Number("arg", 0x2A).Number("status", 0);
        samples.push_back({t, true, t + 60 * hk::kSecond});
    }
    events.insert(events.begin() + 360, {hk::kHour, "expiry"});
    std::string svg = sim::DrawTimeline(events, samples, "day");
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_NE(svg.find("\u2248 23h 00m"), std::string::npos) << "the quiet stretch is marked";
    EXPECT_NE(svg.find(">expiry<"), std::string::npos);
    size_t width = std::stoul(svg.substr(svg.find("width=\"") + 7));
    EXPECT_LE(width, 2600u);
    EXPECT_LT(svg.size(), 400'000u) << "feeds in one pixel column are drawn once";
}

// The picture names what happened: runs that did not feed, the state's
// name beside its code, the span the platform slept, where a process
// ended; and every label, even one at the very end, stays inside it.
TEST(ScenarioTest, TimelineNamesWhatHappenedWithinThePicture) {
    const uint64_t s = hk::kSecond;
    std::vector<sim::TraceEvent> events;
    events.push_back({0, "process", "svc", "started"});
    events.back().String("action", "start");
    events.push_back({1 * s, "eval", "svc", ""});
    events.back().String("method", "SSXS").Number("arg", 0x2A).Number("status", 0);
    events.push_back({300 * s, "cycle", "driver", "did not feed"});
    events.back().Bool("fed", false);
    events.push_back({400 * s, "power", "power", "system enters S3"});
    events.back().String("state", "S3");
    events.push_back({400 * s, "power", "machine", "the platform sleeps"});
    events.back().String("state", "S3").Bool("asleep", true);
    events.push_back({500 * s, "power", "power", "system returns to S0"});
    events.back().String("state", "S0");
    events.push_back({600 * s, "process", "svc", "ended"});
    events.back().String("action", "end");
    events.push_back({700 * s, "request", "svc", ""});
    events.back().String("request", "a request whose label is far too long for the margin");
    std::vector<sim::WatchdogSample> samples{{0, true, 60 * hk::kSecond},
                                             {400 * hk::kSecond, true, 0, true, 50 * hk::kSecond}};
    std::string svg = sim::DrawTimeline(events, samples, "names");
    EXPECT_NE(svg.find(">2A StateWatchA<"), std::string::npos);
    EXPECT_NE(svg.find("stroke=\"#ef6c00\""), std::string::npos) << "a run that did not feed";
    EXPECT_NE(svg.find(">asleep<"), std::string::npos);
    EXPECT_NE(svg.find(">ended<"), std::string::npos);
    double width = std::stod(svg.substr(svg.find("width=\"") + 7));
    for (size_t at = svg.find("<text x=\""); at != std::string::npos;
         at = svg.find("<text x=\"", at + 1)) {
        double x = std::stod(svg.substr(at + 9));
        size_t open = svg.find('>', at) + 1;
        size_t length = svg.find("</text>", open) - open;
        bool anchoredEnd = svg.substr(at, open - at).find("text-anchor") != std::string::npos;
        EXPECT_GE(x, 0);
        if (!anchoredEnd) {
            EXPECT_LE(x + 5.0 * double(length), width) << svg.substr(open, length);
        }
    }
}

} // namespace
