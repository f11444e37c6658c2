#include "services/RoomCatchUp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>

#include "client/ClientBase.h"
#include "client/SipHash.h"
#include "services/MUCRoom.h"
#include "services/RoomLiveness.h"
#include "stanza/Constants.h"
#include "xml/XmlTag.h"

namespace tern {

namespace {

const char* const kArchive = "urn:xmpp:mam:2";
const char* const kStanzaIds = "urn:xmpp:sid:0";
// Looked up in every room message: built once, not for each lookup.
const std::string kXmlns = "xmlns";
const std::string kResult = "result", kArchiveNs = kArchive;
const std::string kOrigin = "origin-id", kStanzaId = "stanza-id", kStanzaIdsNs = kStanzaIds;
const std::string kId = "id", kBy = "by";
enum Context { ArchiveQuery = 1, FeatureProbe = 2 };

std::string utcText(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &seconds);
#else
    gmtime_r(&seconds, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A XEP-0082 date-time, or the legacy CCYYMMDDThh:mm:ss, in seconds since
// 1970 UTC; nullopt for anything else. Not a time_point: its nanoseconds
// overflow for the far-off years a stamp may name.
std::optional<long long> utcSeconds(const std::string& text) {
    int y, mo, d, h, mi, sec, n = 0;
    const bool modern = text.size() > 4 && text[4] == '-';
    if (std::sscanf(text.c_str(), modern ? "%4d-%2d-%2dT%2d:%2d:%2d%n" : "%4d%2d%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h,
                    &mi, &sec, &n) != 6 ||
        y < 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60)
        return std::nullopt;
    std::size_t at = static_cast<std::size_t>(n);
    if (at < text.size() && text[at] == '.')
        for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));) ++at;
    long offset = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int oh, om;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d", &oh, &om) != 2) return std::nullopt;
        offset = (text[at] == '+' ? 1 : -1) * (oh * 3600L + om * 60L);
    }
    // Days from 1970-01-01 in the proleptic Gregorian calendar.
    const int yy = y - (mo <= 2);
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = era * 146097LL + doe - 719468;
    return days * 86400 + h * 3600LL + mi * 60LL + sec - offset;
}

// Our own subject change as the session wrote it: its text, or nothing
// for any other message. Text is escaped, so the markup found is ours.
std::optional<std::string> subjectOf(const PendingStanza& p) {
    if (p.name != "message") return std::nullopt;
    if (p.text.find("<subject/>") != std::string::npos) return std::string();
    const std::size_t open = p.text.find("<subject>");
    const std::size_t end = open == std::string::npos ? open : p.text.find("</subject>", open);
    if (end == std::string::npos) return std::nullopt;
    return unescapeXml(std::string_view(p.text).substr(open + 9, end - open - 9));
}

}  // namespace

RoomCatchUp::RoomCatchUp(ClientBase* parent, MUCRoom* room)
    : parent_(parent),
      room_(room),
      roomAddress_(room->roomJid().bare()) {
    parent_->timers().add(this);
}

RoomCatchUp::~RoomCatchUp() {
    parent_->timers().remove(this);
    parent_->removeIqIdHandler(this);
    if (ServiceDiscovery* d = parent_->disco()) d->removeQueries(this);
}

std::string RoomCatchUp::ownMessageId(const Stanza& message) const {
    if (!room_->hasNickname(message.from().resource())) return std::string();
    const XmlTag* origin = message.firstChild(kOrigin, kXmlns, kStanzaIdsNs);
    return origin ? origin->getAttribute(kId) : message.getAttribute(kId);
}

bool RoomCatchUp::RecentKeys::contains(std::uint64_t key) const {
    return std::find(ring_.begin(), ring_.end(), key) != ring_.end();
}

void RoomCatchUp::RecentKeys::add(std::uint64_t key) {
    if (ring_.size() < kRemembered) {
        ring_.push_back(key);
        return;
    }
    ring_[next_] = key;
    next_ = (next_ + 1) % kRemembered;
}

bool RoomCatchUp::administrative(const PendingStanza& request) {
    static const std::string admin = std::string("xmlns='") + XMPP_XMLNS_MUC_ADMIN + "'";
    static const std::string owner = std::string("xmlns='") + XMPP_XMLNS_MUC_OWNER + "'";
    return request.text.find(admin) != std::string::npos || request.text.find(owner) != std::string::npos;
}

std::uint64_t RoomCatchUp::fold(std::uint64_t h, std::string_view part) const { return sipHash13(part, h); }

RoomCatchUp::Verdict RoomCatchUp::admit(const Stanza& message, const std::string& body, bool history,
                                        const std::string& stamp) {
    HeldMessage m;
    for (const XmlTag* c : message.children())
        if (c->name() == kStanzaId && c->hasAttribute(kXmlns, kStanzaIdsNs) && c->hasAttribute(kBy, roomAddress_))
            m.stanzaId = c->getAttribute(kId);
    m.nick = message.from().resource();
    m.body = body;
    m.history = history;
    m.said = m.saidAt = sipHash13Pair(m.nick, body);
    if (history) {
        m.stamp = stamp;
        m.saidAt = fold(m.said, stamp);
        m.when = utcSeconds(stamp);
        // A stamp from the future is not the room's (ejabberd keeps an
        // occupant's own): it must not end the run of repeats.
        const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch()).count();
        if (m.when && *m.when > now + kClockSlackSeconds) m.when.reset();
    }
    const std::uint64_t id = m.stanzaId.empty() ? 0 : keyOf(m.stanzaId);
    const std::string own = ownMessageId(message);
    // Only a join that went out twice has its history come twice: the same
    // text with the same stamp is otherwise said twice.
    const bool repeats = history && m.stanzaId.empty() && room_->liveness() && room_->liveness()->expectsRepeats();
    std::vector<HeldMessage> settled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The room has this one of ours, whether or not the handler sees it again.
        if (!own.empty()) ownEchoes_.add(keyOf(own));
        if (id && recentIds_.contains(id)) return Drop;
        if (repeats && historyTexts_.contains(m.saidAt)) return Drop;
        // Whether a join's history repeats what the handler heard shows
        // only against the history as a whole; what comes with it waits
        // behind it. The archive's answers carry ids and need no wait.
        if (runEnded_ || phase_ == Querying || (!history && held_.empty())) {
            if (history && (phase_ == Querying || phase_ == AwaitingHistory)) ++caughtUp_;
            remember(m);
            return Deliver;
        }
        if (held_.empty()) {
            heldUntil_ = Clock::now() + std::chrono::seconds(kStepSeconds);
            heldBytes_ = 0;
        }
        heldBytes_ += m.nick.size() + m.body.size() + m.stamp.size();
        held_.push_back(std::move(m));
        if (held_.size() < kHeldLimit && heldBytes_ < kHeldBytes) return Held;
        settled = settle();
        runEnded_ = true;
    }
    deliver(settled);
    return Held;
}

std::vector<RoomCatchUp::HeldMessage> RoomCatchUp::settle() {
    std::vector<HeldMessage> held;
    held.swap(held_);
    std::vector<std::size_t> plain;  // the history without stanza-ids, in order
    for (std::size_t i = 0; i < held.size(); ++i)
        if (held[i].history && held[i].stanzaId.empty()) plain.push_back(i);
    // The room's history is in the order it was said: what the handler had
    // can only be its opening run, and only as the last messages it heard,
    // one for one ("ok" heard once is one "ok", not every one). The run
    // ends at the first message dated after we went out, and a room this
    // rejoin made anew has nothing from before.
    std::size_t limit = madeAnew_ ? 0 : std::min(plain.size(), heard_.size());
    if (heardBeforeOut_ != std::chrono::system_clock::time_point()) {
        const long long out =
            std::chrono::duration_cast<std::chrono::seconds>(heardBeforeOut_.time_since_epoch()).count();
        for (std::size_t j = 0; j < limit; ++j)
            if (held[plain[j]].when && *held[plain[j]].when > out + kClockSlackSeconds) limit = j;
    }
    std::size_t run = limit;
    for (; run > 0; --run) {
        const std::size_t from = heard_.size() - run;
        std::size_t j = 0;
        while (j < run && held[plain[j]].said == heard_[from + j]) ++j;
        if (j == run) break;
    }
    std::vector<bool> repeat(held.size(), false);
    for (std::size_t j = 0; j < run; ++j) repeat[plain[j]] = true;
    std::vector<HeldMessage> out;
    for (std::size_t i = 0; i < held.size(); ++i) {
        if (repeat[i] || (!held[i].stanzaId.empty() && recentIds_.contains(keyOf(held[i].stanzaId)))) continue;
        if (held[i].history) ++caughtUp_;
        remember(held[i]);
        out.push_back(std::move(held[i]));
    }
    return out;
}

void RoomCatchUp::remember(const HeldMessage& m) {
    if (!m.stanzaId.empty()) {
        recentIds_.add(keyOf(m.stanzaId));
        lastStanzaId_ = m.stanzaId;
    }
    if (m.history) historyTexts_.add(m.saidAt);
    heard_.push_back(m.said);
    if (heard_.size() > kRemembered) heard_.pop_front();
    lastHeard_ = std::chrono::system_clock::now();
}

void RoomCatchUp::deliver(const std::vector<HeldMessage>& messages) {
    for (const HeldMessage& m : messages) room_->deliverHeld(m.nick, m.body, m.history, m.stamp);
}

bool RoomCatchUp::archived(const Stanza& message) {
    const XmlTag* result = message.firstChild(kResult, kXmlns, kArchiveNs);
    if (!result) return false;
    const std::string& roomAddress = roomAddress_;
    {
        // Only the archive we asked, for the query we asked.
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Querying || result->getAttribute("queryid") != queryId_ || message.from().full() != roomAddress)
            return true;
    }
    const XmlTag* forwarded = result->firstChild("forwarded", "xmlns", "urn:xmpp:forward:0");
    const XmlTag* inner = forwarded ? forwarded->firstChild("message") : nullptr;
    if (!inner || JID(inner->getAttribute("from")).bare() != roomAddress) return true;
    Stanza archivedMessage(inner);
    // The archive's id is the room's stanza-id; the forward's delay its time.
    if (!archivedMessage.firstChild("stanza-id", "by", roomAddress)) {
        XmlTag* id = new XmlTag(&archivedMessage, "stanza-id", "xmlns", kStanzaIds);
        id->setAttribute("id", result->getAttribute("id"));
        id->setAttribute("by", roomAddress);
    }
    std::string stamp;
    if (const XmlTag* delay = forwarded->firstChild("delay", "xmlns", "urn:xmpp:delay")) stamp = delay->getAttribute("stamp");
    room_->deliverArchived(archivedMessage, stamp);
    return true;
}

void RoomCatchUp::interrupted(std::vector<PendingStanza>* pending) {
    const std::string& roomAddress = roomAddress_;
    std::vector<PendingStanza> undone;
    std::vector<HeldMessage> settled;
    // A subject change the room reported as ours arrived.
    std::optional<std::string> ourSubject;
    if (pending && room_->liveness()) {
        std::pair<std::string, std::string> last = room_->liveness()->lastSubject();
        if (room_->hasNickname(last.first)) ourSubject = std::move(last.second);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Asked again while the room has not said whether it keeps an
        // archive: that step's own deadline decides, not a second probe.
        if (!pending && phase_ == Probing) return;
        if (pending) {
            for (auto it = pending->begin(); it != pending->end();) {
                if (it->to != roomAddress || (it->name != "message" && it->name != "iq")) {
                    ++it;
                    continue;
                }
                const std::optional<std::string> subject = subjectOf(*it);
                if (subject) {
                    if (subject != ourSubject) undone.push_back(std::move(*it));
                } else if (it->name == "message")
                    resend_.push_back(std::move(*it));
                else if (administrative(*it))
                    undone.push_back(std::move(*it));
                else if (it->text.find(kArchive) == std::string::npos) {
                    ++it;  // a question for the room: asked again as it is
                    continue;
                }  // else our archive query: the catch-up asks afresh
                it = pending->erase(it);
            }
            renewed_ = true;
        }
        // Out again halfway through a history: what came of it was said.
        if (!held_.empty()) settled = settle();
        runEnded_ = false;
        startStep(Probing);
        out_ = true;
        heardBeforeOut_ = lastHeard_;
        caughtUp_ = 0;
    }
    deliver(settled);
    // A kick, a ban or a destruction that got no answer may have been
    // carried out, or not; sent again it could hit whoever holds the
    // nickname in a room made anew; a subject change, replace a newer
    // subject. The caller hears it was not done.
    parent_->reportNotSent(undone, NotSentReason::SessionEnded);
    // Whether to ask the archive or the history decides how to rejoin.
    if (ServiceDiscovery* d = parent_->disco()) d->requestInfo(JID(roomAddress), "", this, FeatureProbe);
}

void RoomCatchUp::onDiscoInfoResult(Stanza* stanza, int context) {
    bool archive = false;
    if (const XmlTag* q = stanza->firstChild("query"))
        for (const XmlTag* f : q->childrenNamed("feature"))
            if (f->getAttribute("var") == kArchive) archive = true;
    if (context == FeatureProbe) probed(archive);
}

void RoomCatchUp::onDiscoError(Stanza*, int context) {
    if (context == FeatureProbe) probed(false);
}

void RoomCatchUp::probed(bool archive) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Probing) return;
        archive_ = archive;
        phase_ = Rejoining;  // the room's join has deadlines of its own
    }
    room_->rejoinAfterInterruption();
}

void RoomCatchUp::startStep(Phase phase) {
    phase_ = phase;
    stepDeadline_ = Clock::now() + std::chrono::seconds(kStepSeconds);
}

long long RoomCatchUp::untilDue(Clock::time_point now) {
    const auto until = [&](Clock::time_point due) {
        const long long left = std::chrono::duration_cast<std::chrono::microseconds>(due - now).count();
        return left < 0 ? 0 : left;
    };
    std::lock_guard<std::mutex> lock(mutex_);
    // A catch-up's own step ends its history first.
    const long long held = held_.empty() || phase_ == AwaitingHistory ? -1 : until(heldUntil_);
    if (phase_ != Probing && phase_ != Querying && phase_ != AwaitingHistory) return held;
    return held < 0 ? until(stepDeadline_) : std::min(held, until(stepDeadline_));
}

void RoomCatchUp::onTimer(Clock::time_point now) {
    Phase phase;
    std::vector<HeldMessage> settled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        phase = phase_;
        // A history whose subject never came: it goes as it stands.
        if (!held_.empty() && now >= heldUntil_ && phase != AwaitingHistory) {
            settled = settle();
            runEnded_ = madeAnew_ = false;
        }
    }
    deliver(settled);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if ((phase != Probing && phase != Querying && phase != AwaitingHistory) || now < stepDeadline_) return;
    }
    parent_->logInstance().log(LogWarning, LogAreaClient,
                               "room " + roomAddress_ + ": no answer within " + std::to_string(kStepSeconds) +
                                   " s " + (phase == Probing ? "to whether it keeps an archive; joining without"
                                                             : "to what was said meanwhile; going on without the rest"));
    if (phase == Probing)
        probed(false);
    else
        finish();
}

void RoomCatchUp::markOut() {
    std::lock_guard<std::mutex> lock(mutex_);
    out_ = true;
    heardBeforeOut_ = lastHeard_;
}

bool RoomCatchUp::holding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

bool RoomCatchUp::hold(std::unique_ptr<XmlTag>& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!out_) return false;
        if (outbox_.size() < kOutboxLimit) {
            outbox_.push_back(std::move(message));
            return true;
        }
    }
    parent_->logInstance().log(LogError, LogAreaClient,
                               "room " + roomAddress_ + ": out of the room with " + std::to_string(kOutboxLimit) +
                                   " messages waiting already; this one is not sent");
    parent_->reportNotSent({pending(*message)}, NotSentReason::SessionEnded);
    message.reset();
    return true;
}

XmlTag* RoomCatchUp::historyForRejoin() const {
    std::lock_guard<std::mutex> lock(mutex_);
    XmlTag* history = new XmlTag("history");
    // The archive answers exactly; the history only by time, reaching back
    // a little for our clock and the server's, repeats being dropped.
    if (archive_ || lastHeard_ == std::chrono::system_clock::time_point())
        history->setAttribute("maxstanzas", "0");
    else
        history->setAttribute("since", utcText(lastHeard_ - std::chrono::seconds(kClockSlackSeconds)));
    return history;
}

void RoomCatchUp::rejoined(bool created) {
    std::string after;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        madeAnew_ = created;
        if (phase_ == Idle) {
            // A first join: from now on we have heard the room.
            lastHeard_ = std::chrono::system_clock::now();
            return;
        }
        if (phase_ != Rejoining) return;
        if (!archive_) {
            startStep(AwaitingHistory);
            return;
        }
        startStep(Querying);
        pages_ = 0;
        after = lastStanzaId_;
    }
    query(after);
}

void RoomCatchUp::query(const std::string& after) {
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "set");
    iq->setAttribute("id", parent_->newId());
    iq->setAttribute("to", roomAddress_);
    XmlTag* q = new XmlTag(iq, "query", "xmlns", kArchive);
    std::string start;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queryId_ = parent_->newId();
        startStep(Querying);  // each page has its time
        q->setAttribute("queryid", queryId_);
        if (after.empty() && lastHeard_ != std::chrono::system_clock::time_point())
            start = utcText(lastHeard_ - std::chrono::seconds(kClockSlackSeconds));
    }
    XmlTag* form = new XmlTag(q, "x", "xmlns", XMPP_XMLNS_X_DATA);
    form->setAttribute("type", "submit");
    XmlTag* type = new XmlTag(form, "field", "var", "FORM_TYPE");
    type->setAttribute("type", "hidden");
    new XmlTag(type, "value", kArchive);
    if (!start.empty()) new XmlTag(new XmlTag(form, "field", "var", "start"), "value", start);
    XmlTag* set = new XmlTag(q, "set", "xmlns", "http://jabber.org/protocol/rsm");
    new XmlTag(set, "max", std::to_string(kPageSize));
    if (!after.empty()) new XmlTag(set, "after", after);
    parent_->sendIq(iq, this, ArchiveQuery);
}

bool RoomCatchUp::handleIqById(Stanza* stanza, int context) {
    if (context != ArchiveQuery) return true;
    std::string next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Querying) return true;
        const XmlTag* fin = stanza->subtype() == IqResult ? stanza->firstChild("fin", "xmlns", kArchive) : nullptr;
        const XmlTag* set = fin ? fin->firstChild("set") : nullptr;
        const XmlTag* last = set ? set->firstChild("last") : nullptr;
        if (fin && fin->getAttribute("complete") != "true" && last && !last->text().empty() && ++pages_ < kMaxPages)
            next = last->text();
    }
    if (next.empty())
        finish();
    else
        query(next);
    return true;
}

void RoomCatchUp::historyEnded() {
    std::vector<HeldMessage> settled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != AwaitingHistory) {
            settled = settle();
            runEnded_ = madeAnew_ = false;
        }
    }
    if (settled.empty() && holdingHistoryUp())
        finish();
    else
        deliver(settled);
}

bool RoomCatchUp::holdingHistoryUp() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return phase_ == AwaitingHistory;
}

// Back in and caught up: what the room never had goes out, in the order
// it was sent.
void RoomCatchUp::finish() {
    std::vector<PendingStanza> resend;
    std::vector<std::unique_ptr<XmlTag>> outbox;
    std::vector<HeldMessage> settled;
    int caughtUp;
    bool renewed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        settled = settle();
        runEnded_ = madeAnew_ = false;
        phase_ = Idle;
        out_ = false;
        heardBeforeOut_ = {};
        for (PendingStanza& p : resend_)
            if (p.id.empty() || !ownEchoes_.contains(keyOf(p.id))) resend.push_back(std::move(p));
        resend_.clear();
        outbox.swap(outbox_);
        caughtUp = caughtUp_;
        renewed = renewed_;
        renewed_ = false;
    }
    deliver(settled);
    for (const PendingStanza& p : resend) parent_->sendAgain(p);
    for (auto& m : outbox) parent_->sendTag(m.release());
    const std::string counts = std::to_string(caughtUp) + " messages caught up, " +
                               std::to_string(resend.size() + outbox.size()) + " resent";
    parent_->logInstance().log(LogWarning, LogAreaClient,
                               renewed ? "session healed after a server restart: " + counts
                                       : "room " + roomAddress_ + ": back in after being dropped: " +
                                             counts);
}

PendingStanza RoomCatchUp::pending(const XmlTag& message) const {
    return {message.serialize(), std::string(), message.name(), roomAddress_, message.getAttribute("id")};
}

void RoomCatchUp::reset() {
    std::vector<PendingStanza> unsent;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = Idle;
        out_ = false;
        heardBeforeOut_ = {};
        unsent.swap(resend_);
        for (const auto& m : outbox_) unsent.push_back(pending(*m));
        outbox_.clear();
        held_.clear();
        renewed_ = runEnded_ = madeAnew_ = false;
    }
    // The room session is over: what waited for it will not go.
    parent_->reportNotSent(unsent, NotSentReason::SessionEnded);
}

}  // namespace tern
