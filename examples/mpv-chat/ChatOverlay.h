// The chat box drawn over the video: the connection's state on top, then
// the last lines of the room, each fading out a while after it came.
// Everything here is plain data; the plugin hands render()'s text to mpv's
// osd-overlay command (ASS events) and draws a box behind its bounds.
#ifndef PARLEY_MPV_CHATOVERLAY_H
#define PARLEY_MPV_CHATOVERLAY_H

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace mpvchat {

struct OverlayStyle {
    int fontSize = 30;           // in the overlay's 720-line coordinates
    std::size_t maxLines = 8;    // room lines kept on screen
    double showSeconds = 12;     // before a line starts to fade
    double fadeSeconds = 2;      // from opaque to gone
    std::size_t maxChars = 160;  // code points of one line; longer ones are cut
};

// Text from the room made safe to show and to log: control characters go
// (tabs and line breaks become spaces), and so do the directional
// overrides, embeddings and isolates that could reorder the rest of the
// line; no more than three combining marks follow one another; at most
// maxChars code points, "…" marking a cut.
std::string cleanLine(std::string_view utf8, std::size_t maxChars);

// Literal text inside an ASS event: braces cannot open override tags and
// backslashes cannot start escapes such as \N.
std::string escapeAss(std::string_view text);

class ChatOverlay {
public:
    enum class Kind { Chat, Notice, Warning };

    explicit ChatOverlay(OverlayStyle style = {});

    // A room line (already cleaned); the oldest goes when there are too many.
    void add(Kind kind, std::string line, double now);
    // The connection's state. A sticky state (lost, removed) stays until
    // the next one; others fade like room lines. Empty removes it.
    void setStatus(std::string text, bool sticky, double now);

    // ASS events for osd-overlay; empty when nothing is visible.
    std::string render(double now) const;
    // How opaque the box behind the text is: ASS alpha, 0 opaque, 255 gone.
    int boxAlpha(double now) const;
    // Drops what has faded out. True when something was dropped.
    bool expire(double now);
    // Seconds until the picture changes by itself (a line starts or goes on
    // fading); negative when nothing will change.
    double nextChange(double now) const;

    const OverlayStyle& style() const { return style_; }

private:
    struct Line {
        Kind kind;
        std::string text;
        double since;
    };
    int alphaOf(double since, double now) const;

    OverlayStyle style_;
    std::deque<Line> lines_;
    std::string status_;
    bool statusSticky_ = false;
    double statusSince_ = 0;
};

// An ASS drawing that fills the rectangle, in the overlay's coordinates.
std::string boxEvent(double x0, double y0, double x1, double y1, int alpha);

}  // namespace mpvchat

#endif
