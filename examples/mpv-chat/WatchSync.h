// Watching together: pause, resume and seek travel through the room as
// control messages, in a small versioned format:
//
//   ca:watch/1 pause POS         paused at POS seconds (at most 3 decimals)
//   ca:watch/1 play POS          playing from POS
//   ca:watch/1 ask               a viewer who just came asks where the others are
//   ca:watch/1 state pause POS   the answer (or "state play POS"); only a
//                                viewer who asked applies it
//
// Nothing else is taken from another occupant: a position must lie within
// the file's length, anything malformed is ignored (and said so in the log),
// and at most a few commands a second are applied. Questions are answered
// from a budget of their own, so that asking cannot use up what pauses
// need. A change that was
// applied from the room is not sent back to it. A position that comes
// before mpv knows the file's length waits for it (the latest one, for a
// few seconds at most).
#ifndef PARLEY_MPV_WATCHSYNC_H
#define PARLEY_MPV_WATCHSYNC_H

#include <optional>
#include <string>
#include <string_view>

namespace mpvchat {

class WatchSync {
public:
    struct Player {
        bool paused = false;
        double position = 0;
        double duration = 0;  // 0 or less: unknown
    };
    // What to do to the player, and what to send or log.
    struct Reply {
        bool seek = false;
        double position = 0;
        bool setPause = false;
        bool pause = false;
        std::string send;  // a control message for the room
        std::string log;   // why a message was ignored, or what was applied
    };

    // The local player paused or resumed, or finished a seek: the message to
    // send, or empty when this is the echo of a command from the room.
    std::string localPause(bool paused, double position, double now);
    std::string localSeek(bool paused, double position, double now);
    // Coming into the room with a file: the question for the others.
    std::string ask(double now);

    Reply remote(std::string_view body, const Player& player, double now);
    // mpv has told the file's length: the position that waited for it, if any.
    Reply lengthKnown(const Player& player, double now);
    // Another file: a position that waited was for the one before.
    void forgetWaiting() { waiting_.reset(); }

    static std::string format(const char* verb, double position);

private:
    Reply applyState(bool pause, double position, const Player& player, double now, bool answer);
    void seekTo(double position, bool pause, const Player& player, double now, Reply& r);

    struct Waiting {
        bool pause, answer;
        double position, since;
    };
    std::optional<Waiting> waiting_;

    // Echoes of what we applied, expected until the deadlines.
    bool expectPause_ = false;
    double expectPauseUntil_ = -1;
    double expectSeekTo_ = 0;
    double expectSeekUntil_ = -1;
    double askingUntil_ = -1;
    // A token bucket: burst at once, then perSecond.
    struct Budget {
        double burst, perSecond, tokens, at;
        Budget(double b, double r) : burst(b), perSecond(r), tokens(b), at(0) {}
        bool take(double now);
    };
    Budget commands_{5, 2};   // applied from the room
    Budget answers_{3, 0.2};  // questions answered, whoever asks
};

}  // namespace mpvchat

#endif
