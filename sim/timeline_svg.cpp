#include "sim/timeline_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace sim {

namespace {

constexpr double kLeft = 150;                                // room for the lane names
constexpr double kRight = 170;                               // room for the last labels
constexpr double kMinPlotWidth = 900;                        // narrowest plot
constexpr double kMaxPlotWidth = 2400;                       // widest plot
constexpr double kGapScale = 120;                            // pixels per e-fold of a quiet stretch
constexpr double kGapUnit = 30.0 * 10'000'000;               // 30 s: the knee of the compression
constexpr uint64_t kCompressedGap = 15ull * 60 * 10'000'000; // gaps this long are marked

// Maps machine time to x: linear between the times of notable events, with
// each gap's width growing with the logarithm of its length.
class TimeScale {
  public:
    TimeScale(std::vector<uint64_t> times) : times_(std::move(times)) {
        std::vector<double> widths;
        double total = 0;
        for (size_t i = 1; i < times_.size(); i++) {
            double width = kGapScale * std::log1p((times_[i] - times_[i - 1]) / kGapUnit);
            widths.push_back(width);
            total += width;
        }
        double factor = 1;
        if (total < kMinPlotWidth) {
            factor = total > 0 ? kMinPlotWidth / total : 1;
        } else if (total > kMaxPlotWidth) {
            factor = kMaxPlotWidth / total;
        }
        xs_.push_back(kLeft);
        for (double width : widths) {
            xs_.push_back(xs_.back() + width * factor);
        }
        if (times_.size() == 1) {
            xs_.push_back(kLeft + kMinPlotWidth);
            times_.push_back(times_[0] + 1);
        }
    }

    double X(uint64_t time) const {
        if (time <= times_.front()) {
            return xs_.front();
        }
        if (time >= times_.back()) {
            return xs_.back();
        }
        size_t i = std::upper_bound(times_.begin(), times_.end(), time) - times_.begin();
        double fraction = double(time - times_[i - 1]) / double(times_[i] - times_[i - 1]);
        return xs_[i - 1] + fraction * (xs_[i] - xs_[i - 1]);
    }
    double Right() const { return xs_.back(); }
    const std::vector<uint64_t>& Times() const { return times_; }
    // The notable times strictly between two times, where the scale bends.
    std::vector<uint64_t> Between(uint64_t from, uint64_t to) const {
        std::vector<uint64_t> inside;
        for (uint64_t time : times_) {
            if (time > from && time < to) {
                inside.push_back(time);
            }
        }
        return inside;
    }

  private:
    std::vector<uint64_t> times_; // notable times, ascending
    std::vector<double> xs_;      // their x positions
};

std::string Escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '&':
            escaped += "&amp;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Text(double x, double y, const std::string& text, const std::string& attributes = "") {
    return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" " + attributes + ">" + Escape(text) +
           "</text>\n";
}

std::string Rect(double x, double y, double w, double h, const std::string& fill,
                 const std::string& title = "") {
    std::string rect = "<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" +
                       Num(std::max(w, 1.0)) + "\" height=\"" + Num(h) + "\" fill=\"" + fill + "\"";
    return title.empty() ? rect + "/>\n" : rect + "><title>" + Escape(title) + "</title></rect>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const std::string& style) {
    return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" +
           Num(y2) + "\" " + style + "/>\n";
}

std::string ShortTime(uint64_t time) {
    uint64_t seconds = time / 10'000'000;
    char text[32];
    if (seconds >= 86400) {
        std::snprintf(
            text, sizeof text, "%llud %02llu:%02llu", (unsigned long long)(seconds / 86400),
            (unsigned long long)(seconds / 3600 % 24), (unsigned long long)(seconds / 60 % 60));
    } else if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lluh%02llum", (unsigned long long)(seconds / 3600),
                      (unsigned long long)(seconds / 60 % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", (unsigned long long)(seconds / 60),
                      (unsigned long long)(seconds % 60));
    }
    return text;
}

std::string Duration(uint64_t time) {
    uint64_t minutes = time / 10'000'000 / 60;
    char text[32];
    if (minutes >= 60) {
        std::snprintf(text, sizeof text, "%lluh %02llum", (unsigned long long)(minutes / 60),
                      (unsigned long long)(minutes % 60));
    } else {
        std::snprintf(text, sizeof text, "%llum", (unsigned long long)minutes);
    }
    return text;
}

bool IsRoutine(const TraceEvent& event) {
    return event.Kind == "cycle" || (event.Kind == "eval" && event.Who == "cycle");
}

int64_t NumberField(const TraceEvent& event, const std::string& name) {
    std::optional<std::string> value = event.Field(name);
    return value && *value != "null" ? std::stoll(*value) : -1;
}

// A string field's text, its JSON escapes undone.
std::string StringField(const TraceEvent& event, const std::string& name) {
    std::optional<std::string> value = event.Field(name);
    if (!value || value->size() < 2) {
        return "";
    }
    std::string text;
    for (size_t i = 1; i + 1 < value->size(); i++) {
        if ((*value)[i] == '\\' && i + 2 < value->size()) {
            i++;
        }
        text += (*value)[i];
    }
    return text;
}

std::string StateColour(int code) {
    if (code == 0x2A || code == 0x2B)
        return "#4caf50";
    if (code >= 0x23 && code <= 0x26)
        return "#3f51b5";
    if (code >= 0x27 && code <= 0x29)
        return "#90caf9";
    if (code == 0x2C)
        return "#90caf9";
    if (code == 0x20)
        return "#bdbdbd";
    if (code == 0x22)
        return "#616161";
    return "#ab47bc";
}

std::string PowerColour(const std::string& state) {
    if (state == "S0")
        return "#e8f5e9";
    if (state == "S1" || state == "S2")
        return "#9fa8da";
    if (state.rfind("S3", 0) == 0)
        return "#7986cb";
    if (state.rfind("S4", 0) == 0)
        return "#5c6bc0";
    return "#ffb74d"; // shutdown
}

// Where a label of `length` characters, about 6 pixels each, starts so that
// it begins at `x` if it fits and ends inside the picture if it does not.
double Fit(double x, size_t length, double width) {
    return std::max(2.0, std::min(x, width - 4 - 6.0 * double(length)));
}

// One lane's band: from a time to the next change, with a label.
struct Band {
    uint64_t From;      // start
    uint64_t To;        // end
    std::string Label;  // text in the band
    std::string Colour; // fill
};

// The watchdog's remaining seconds as a polyline, one column of pixels at a
// time: within a column, its lowest and highest values.
std::string WatchdogPath(const std::vector<WatchdogSample>& samples, const TimeScale& scale,
                         uint64_t end, double top, double height, double maxSeconds) {
    std::string paths;
    std::vector<std::pair<double, double>> points;
    auto flush = [&] {
        if (points.size() >= 2) {
            std::string d;
            for (size_t i = 0; i < points.size(); i++) {
                d += (i == 0 ? "M" : "L") + Num(points[i].first) + " " + Num(points[i].second);
            }
            paths +=
                "<path d=\"" + d + "\" fill=\"none\" stroke=\"#e53935\" stroke-width=\"1.5\"/>\n";
        }
        points.clear();
    };
    auto y = [&](double seconds) { return top + height - height * seconds / maxSeconds; };
    auto add = [&](double x, double yy) {
        if (!points.empty() && std::fabs(points.back().first - x) < 0.5 && points.size() >= 2 &&
            std::fabs(points[points.size() - 2].first - x) < 0.5) {
            // Same pixel column: keep its extremes and the latest value.
            double low = std::max(points[points.size() - 2].second, points.back().second);
            double high = std::min(points[points.size() - 2].second, points.back().second);
            points[points.size() - 2].second = std::max(low, yy) == yy ? yy : low;
            points.back() = {x, std::min(high, yy)};
            return;
        }
        points.emplace_back(x, yy);
    };
    for (size_t i = 0; i < samples.size(); i++) {
        const WatchdogSample& sample = samples[i];
        uint64_t until = i + 1 < samples.size() ? samples[i + 1].Time : end;
        if (!sample.Open || until < sample.Time) {
            flush();
            continue;
        }
        if (sample.Halted) {
            // Halted while the platform sleeps: what is left stays.
            add(scale.X(sample.Time), y(sample.Left / 1e7));
            add(scale.X(until), y(sample.Left / 1e7));
            continue;
        }
        until = std::min(until, sample.Deadline);
        std::vector<uint64_t> times{sample.Time};
        for (uint64_t time : scale.Between(sample.Time, until)) {
            times.push_back(time);
        }
        times.push_back(until);
        for (uint64_t time : times) {
            add(scale.X(time), y((sample.Deadline - time) / 1e7));
        }
    }
    flush();
    return paths;
}

} // namespace

std::string DrawTimeline(const std::vector<TraceEvent>& events,
                         const std::vector<WatchdogSample>& samples, const std::string& title) {
    uint64_t end = 0;
    std::set<uint64_t> notable{0};
    for (const TraceEvent& event : events) {
        end = std::max(end, event.Time);
        if (!IsRoutine(event)) {
            notable.insert(event.Time);
        }
    }
    for (const WatchdogSample& sample : samples) {
        if (sample.Open && sample.Deadline > end && sample.Deadline - end < 60ull * 10'000'000) {
            // A countdown still running at the end is drawn a little further.
        }
        end = std::max(end, sample.Time);
    }
    notable.insert(end);
    TimeScale scale(std::vector<uint64_t>(notable.begin(), notable.end()));

    // Lanes from the events.
    std::vector<Band> states;
    std::vector<Band> power;
    std::map<std::string, std::vector<Band>> processes;
    std::vector<uint64_t> feeds;
    std::vector<uint64_t> misses; // runs that did not feed
    std::vector<Band> asleep;     // spans the platform slept
    std::map<std::string, std::vector<std::pair<uint64_t, std::string>>> ends; // how each ended
    std::vector<std::pair<uint64_t, std::string>> requests;
    std::vector<std::pair<uint64_t, std::string>> markers; // expiry, reset, boot
    std::vector<std::pair<uint64_t, std::string>> processOrder;
    double maxSeconds = 60;
    std::string powerState = "S0";
    uint64_t powerSince = 0;
    auto closeState = [&](uint64_t time) {
        if (!states.empty() && states.back().To == UINT64_MAX) {
            states.back().To = time;
        }
    };
    auto closeProcesses = [&](uint64_t time) {
        for (auto& [label, bands] : processes) {
            if (!bands.empty() && bands.back().To == UINT64_MAX) {
                bands.back().To = time;
            }
        }
    };
    for (const TraceEvent& event : events) {
        if (event.Kind == "eval") {
            std::string method = StringField(event, "method");
            int64_t arg = NumberField(event, "arg");
            if (method == "SSXS" && arg >= 0) {
                closeState(event.Time);
                std::string described = DescribeState(static_cast<uint8_t>(arg));
                states.push_back(
                    {event.Time, UINT64_MAX, described.substr(2), StateColour(int(arg))});
            } else if (method == "FVKT" && NumberField(event, "status") == 0) {
                feeds.push_back(event.Time);
            } else if (method == "SVKT" && arg > 0) {
                maxSeconds = std::max(maxSeconds, double(arg));
            }
        } else if (event.Kind == "cycle") {
            if (event.Field("fed") == std::optional<std::string>("false")) {
                misses.push_back(event.Time);
            }
        } else if (event.Kind == "power" && event.Who == "machine") {
            if (event.Field("asleep") == std::optional<std::string>("true")) {
                asleep.push_back({event.Time, UINT64_MAX, "asleep", "#283593"});
            }
        } else if (event.Kind == "power") {
            if (!asleep.empty() && asleep.back().To == UINT64_MAX) {
                asleep.back().To = event.Time;
            }
            std::string state = StringField(event, "state");
            power.push_back({powerSince, event.Time, powerState, PowerColour(powerState)});
            powerState = state.substr(0, 2);
            powerSince = event.Time;
        } else if (event.Kind == "process") {
            std::string action = StringField(event, "action");
            if (action == "start") {
                if (processes.count(event.Who) == 0) {
                    processOrder.emplace_back(event.Time, event.Who);
                }
                processes[event.Who].push_back({event.Time, UINT64_MAX, "", "#26a69a"});
            } else if (action == "end" && !processes[event.Who].empty() &&
                       processes[event.Who].back().To == UINT64_MAX) {
                processes[event.Who].back().To = event.Time;
                ends[event.Who].emplace_back(event.Time, event.Text == "ended" ? "ended" : "reset");
            }
        } else if (event.Kind == "request") {
            requests.emplace_back(event.Time, event.Who + ": " + StringField(event, "request"));
        } else if (event.Kind == "expiry") {
            markers.emplace_back(event.Time, "expiry");
        } else if (event.Kind == "reset" || event.Kind == "restart") {
            closeState(event.Time);
            for (auto& [label, bands] : processes) {
                if (!bands.empty() && bands.back().To == UINT64_MAX) {
                    ends[label].emplace_back(event.Time, event.Kind);
                }
            }
            closeProcesses(event.Time);
            if (!asleep.empty() && asleep.back().To == UINT64_MAX) {
                asleep.back().To = event.Time;
            }
            power.push_back({powerSince, event.Time, powerState, PowerColour(powerState)});
            powerState = "S0";
            powerSince = event.Time;
            markers.emplace_back(event.Time, event.Kind);
        } else if (event.Kind == "boot") {
            markers.emplace_back(event.Time, "boot " + std::to_string(NumberField(event, "boot")));
        }
    }
    closeState(end);
    closeProcesses(end);
    if (!asleep.empty() && asleep.back().To == UINT64_MAX) {
        asleep.back().To = end;
    }
    power.push_back({powerSince, end, powerState, PowerColour(powerState)});

    // Layout.
    double y = 50;
    const double watchdogTop = y + 10, watchdogHeight = 170;
    const double stateTop = watchdogTop + watchdogHeight + 30, laneHeight = 26;
    const double powerTop = stateTop + laneHeight + 12;
    const double processTop = powerTop + laneHeight + 12;
    const double requestTop =
        processTop + std::max<size_t>(processes.size(), 1) * (laneHeight - 6) + 16;
    const double axisTop = requestTop + 70;
    const double width = scale.Right() + kRight;
    const double height = axisTop + 60;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(width) +
                      "\" height=\"" + Num(height) + "\" viewBox=\"0 0 " + Num(width) + " " +
                      Num(height) + "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    svg += Rect(0, 0, width, height, "#ffffff");
    svg += Text(10, 22, "vktsim timeline: " + title, "font-size=\"15\" font-weight=\"bold\"");
    svg += Text(10, 40,
                "time is linear between events and compressed where only the ten-second cycle runs"
                " (gaps marked \u2248); red: watchdog seconds left, green ticks: feeds,"
                " orange ticks: runs that did not feed",
                "fill=\"#555\"");

    // Watchdog lane.
    svg += Text(10, watchdogTop + 14, "watchdog left (s)", "font-weight=\"bold\"");
    svg += Rect(kLeft, watchdogTop, scale.Right() - kLeft, watchdogHeight, "#fafafa");
    for (double seconds : {0.0, maxSeconds / 2, maxSeconds}) {
        double ly = watchdogTop + watchdogHeight - watchdogHeight * seconds / maxSeconds;
        svg += Line(kLeft, ly, scale.Right(), ly, "stroke=\"#e0e0e0\"");
        svg += Text(kLeft - 6, ly + 4, std::to_string(int(seconds)),
                    "text-anchor=\"end\" fill=\"#777\"");
    }
    svg += WatchdogPath(samples, scale, end, watchdogTop, watchdogHeight, maxSeconds);
    double lastFeedX = -10;
    for (uint64_t feed : feeds) {
        double x = scale.X(feed);
        if (x - lastFeedX >= 1.5) {
            svg += Line(x, watchdogTop + watchdogHeight - 8, x, watchdogTop + watchdogHeight,
                        "stroke=\"#2e7d32\"");
            lastFeedX = x;
        }
    }
    double lastMissX = -10;
    for (uint64_t miss : misses) {
        double x = scale.X(miss);
        if (x - lastMissX >= 1.5) {
            svg += Line(x, watchdogTop + watchdogHeight - 16, x, watchdogTop + watchdogHeight - 9,
                        "stroke=\"#ef6c00\"");
            lastMissX = x;
        }
    }

    auto drawBands = [&](const std::vector<Band>& bands, double top, double bandHeight,
                         double labelY = 0) {
        for (const Band& band : bands) {
            double x1 = scale.X(band.From), x2 = scale.X(band.To);
            svg += Rect(x1, top, x2 - x1, bandHeight, band.Colour,
                        band.Label + " " + FormatTime(band.From) + " - " + FormatTime(band.To));
            std::string label = band.Label;
            if (x2 - x1 <= 7.0 * label.size() && label.find(' ') != std::string::npos) {
                label = label.substr(0, label.find(' ')); // the code without its name
            }
            if (!label.empty() && x2 - x1 > 7.0 * label.size()) {
                svg += Text(x1 + 3, labelY != 0 ? labelY : top + bandHeight / 2 + 4, label,
                            band.Colour == "#283593" ? "fill=\"#fff\"" : "");
            }
        }
    };
    svg += Text(10, stateTop + 17, "state code", "font-weight=\"bold\"");
    drawBands(states, stateTop, laneHeight);
    svg += Text(10, powerTop + 17, "power", "font-weight=\"bold\"");
    drawBands(power, powerTop, laneHeight, powerTop + 11);
    drawBands(asleep, powerTop + laneHeight * 0.55, laneHeight * 0.45);
    svg += Text(10, processTop + 14, "processes", "font-weight=\"bold\"");
    double rowY = processTop;
    for (const auto& [since, label] : processOrder) {
        svg += Text(kLeft - 6, rowY + 14, label, "text-anchor=\"end\"");
        drawBands(processes[label], rowY + 2, laneHeight - 10);
        for (const auto& [time, how] : ends[label]) {
            double x = scale.X(time);
            svg += Line(x, rowY, x, rowY + laneHeight - 6, "stroke=\"#004d40\" stroke-width=\"2\"");
            svg += Text(Fit(x + 3, how.size(), width), rowY + 13, how,
                        "fill=\"#004d40\" font-size=\"9\"");
        }
        rowY += laneHeight - 6;
    }

    // Requests: a tick each, labels staggered over three rows.
    svg += Text(10, requestTop + 14, "requests", "font-weight=\"bold\"");
    double lastLabelEnd[3] = {0, 0, 0};
    for (const auto& [time, label] : requests) {
        double x = scale.X(time);
        svg += Line(x, requestTop, x, requestTop + 8, "stroke=\"#333\"");
        for (int row = 0; row < 3; row++) {
            if (x >= lastLabelEnd[row]) {
                double at = Fit(x + 2, label.size(), width);
                svg +=
                    Text(at, requestTop + 20 + 14 * row, label, "fill=\"#333\" font-size=\"10\"");
                lastLabelEnd[row] = at + 6.0 * label.size();
                break;
            }
        }
    }

    // Markers across every lane; labels stacked where they would overlap.
    std::vector<double> markerRowEnds;
    for (const auto& [time, label] : markers) {
        double x = scale.X(time);
        size_t stacked = 0;
        while (stacked < markerRowEnds.size() && x + 3 < markerRowEnds[stacked]) {
            stacked++;
        }
        if (stacked == markerRowEnds.size()) {
            markerRowEnds.push_back(0);
        }
        markerRowEnds[stacked] = x + 3 + 7.0 * label.size();
        bool expiry = label == "expiry";
        std::string colour = expiry ? "#c62828" : "#424242";
        svg += Line(x, watchdogTop - 6, x, axisTop,
                    "stroke=\"" + colour + "\" stroke-width=\"" + (expiry ? "2" : "1") +
                        "\" stroke-dasharray=\"" + (expiry ? "none" : "4 3") + "\"");
        svg += Text(Fit(x + 3, label.size(), width), watchdogTop + 4 + 13 * stacked, label,
                    "fill=\"" + colour + "\" font-weight=\"bold\"");
    }

    // Axis: notable times, labels where there is room, quiet gaps marked.
    svg += Line(kLeft, axisTop, scale.Right(), axisTop, "stroke=\"#000\"");
    double lastLabel = -1000;
    const std::vector<uint64_t>& times = scale.Times();
    for (size_t i = 0; i < times.size(); i++) {
        double x = scale.X(times[i]);
        svg += Line(x, axisTop, x, axisTop + 5, "stroke=\"#000\"");
        if (x - lastLabel >= 48) {
            svg += Text(x, axisTop + 17, ShortTime(times[i]), "text-anchor=\"middle\"");
            lastLabel = x;
        }
        if (i > 0 && times[i] - times[i - 1] >= kCompressedGap) {
            double middle = (scale.X(times[i - 1]) + x) / 2;
            svg += Text(middle, axisTop + 34, "\u2248 " + Duration(times[i] - times[i - 1]),
                        "text-anchor=\"middle\" fill=\"#777\"");
            svg += "<path d=\"M" + Num(middle - 6) + " " + Num(axisTop - 5) +
                   " l4 10 l4 -10 l4 10\" "
                   "fill=\"none\" stroke=\"#777\"/>\n";
        }
    }
    svg += Text(kLeft, axisTop + 50, "machine time (m:ss, h, d)", "fill=\"#777\"");
    return svg + "</svg>\n";
}

} // namespace sim
