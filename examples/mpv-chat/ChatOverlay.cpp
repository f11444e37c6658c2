#include "ChatOverlay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Utf16.h"

namespace mpvchat {

namespace {

bool isCombining(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F);
}

bool isDirectionalControl(char32_t c) { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }

std::string alphaTag(int alpha) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "{\\alpha&H%02X&}", alpha);
    return tag;
}

}  // namespace

std::string cleanLine(std::string_view utf8, std::size_t maxChars) {
    std::string out;
    std::size_t kept = 0;
    int marks = 0;
    for (char32_t c : decodeUtf8(utf8)) {
        if (c == '\t' || c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029) c = ' ';
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || isDirectionalControl(c)) continue;
        marks = isCombining(c) ? marks + 1 : 0;
        if (marks > 3) continue;
        if (kept == maxChars) {
            out += "\xE2\x80\xA6";  // …
            break;
        }
        appendUtf8(out, c);
        ++kept;
    }
    return out;
}

std::string escapeAss(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        switch (c) {
            case '{': out += "\\{"; break;
            case '}': out += "\\}"; break;
            // A word joiner after it keeps a backslash from pairing with
            // the next character; it draws nothing.
            case '\\': out += "\\\xE2\x81\xA0"; break;
            default: out += c;
        }
    }
    return out;
}

std::string boxEvent(double x0, double y0, double x1, double y1, int alpha) {
    char event[200];
    std::snprintf(event, sizeof event,
                  "{\\an7\\pos(0,0)\\bord0\\shad0\\1c&H000000&\\1a&H%02X&\\p1}m %d %d l %d %d %d %d %d %d{\\p0}",
                  std::clamp(alpha, 0, 255), int(x0), int(y0), int(x1), int(y0), int(x1), int(y1), int(x0), int(y1));
    return event;
}

ChatOverlay::ChatOverlay(OverlayStyle style) : style_(style) {}

void ChatOverlay::add(Kind kind, std::string line, double now) {
    lines_.push_back({kind, std::move(line), now});
    while (lines_.size() > std::max<std::size_t>(style_.maxLines, 1)) lines_.pop_front();
}

void ChatOverlay::setStatus(std::string text, bool sticky, double now) {
    status_ = std::move(text);
    statusSticky_ = sticky;
    statusSince_ = now;
}

int ChatOverlay::alphaOf(double since, double now) const {
    const double fading = now - since - style_.showSeconds;
    if (fading <= 0) return 0;
    if (fading >= style_.fadeSeconds) return 255;
    return static_cast<int>(std::lround(255 * fading / style_.fadeSeconds));
}

std::string ChatOverlay::render(double now) const {
    std::string rows;
    auto row = [&](int alpha, const char* colour, const std::string& text) {
        if (alpha >= 255) return;
        if (!rows.empty()) rows += "\\N";
        rows += alphaTag(alpha);
        rows += colour;
        rows += escapeAss(text);
    };
    if (!status_.empty()) row(statusSticky_ ? 0 : alphaOf(statusSince_, now), "{\\1c&H66E0FF&}", status_);
    for (const Line& l : lines_)
        row(alphaOf(l.since, now),
            l.kind == Kind::Chat      ? "{\\1c&HFFFFFF&}"
            : l.kind == Kind::Warning ? "{\\1c&H4080FF&}"  // orange
                                      : "{\\1c&HD8D8A0&}",
            l.text);
    if (rows.empty()) return {};
    char head[96];
    std::snprintf(head, sizeof head, "{\\an7\\pos(24,24)\\fs%d\\bord2\\shad0\\3c&H000000&}", style_.fontSize);
    return head + rows;
}

int ChatOverlay::boxAlpha(double now) const {
    int least = 255;
    if (!status_.empty()) least = statusSticky_ ? 0 : alphaOf(statusSince_, now);
    for (const Line& l : lines_) least = std::min(least, alphaOf(l.since, now));
    // Never quite opaque: the picture shows through.
    return 0x50 + least * (255 - 0x50) / 255;
}

bool ChatOverlay::expire(double now) {
    bool dropped = false;
    while (!lines_.empty() && alphaOf(lines_.front().since, now) >= 255) {
        lines_.pop_front();
        dropped = true;
    }
    if (!status_.empty() && !statusSticky_ && alphaOf(statusSince_, now) >= 255) {
        status_.clear();
        dropped = true;
    }
    return dropped;
}

double ChatOverlay::nextChange(double now) const {
    double next = -1;
    auto consider = [&](double since) {
        const double start = since + style_.showSeconds - now;
        // While fading, a step every tenth of a second is smooth enough.
        const double in = start > 0 ? start : 0.1;
        if (next < 0 || in < next) next = in;
    };
    if (!status_.empty() && !statusSticky_) consider(statusSince_);
    for (const Line& l : lines_) consider(l.since);
    return next;
}

}  // namespace mpvchat
