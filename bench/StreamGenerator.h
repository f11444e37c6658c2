// Deterministic, realistic XMPP client streams for the benchmarks.
#ifndef PARLEY_BENCH_STREAMGENERATOR_H
#define PARLEY_BENCH_STREAMGENERATOR_H

#include <cstdint>
#include <string>

namespace bench {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : s_(seed ? seed : 1) {}
    std::uint32_t next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 7;
        s_ ^= s_ << 17;
        return static_cast<std::uint32_t>(s_ >> 11);
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }

private:
    std::uint64_t s_;
};

inline const char* const kNicks[] = {"Alice", "bob", "Ĉarlie", "dmitri_k", "Eve-42", "françois",
                                     "グレース", "heidi", "ivan.petrov", "Júlia"};

inline const char* const kBodies[] = {
    "hello everyone, is the stream starting soon?",
    "brb",
    "Did anyone see the last episode? The ending was wild",
    "Ça marche très bien chez moi, merci beaucoup !",
    "今日はいい天気ですね。皆さんお元気ですか？",
    "Привет всем! Как дела?",
    "ok 👍 see you 🎉🎉",
    "use &lt;b&gt;bold&lt;/b&gt; &amp; &quot;quotes&quot; &amp;amp; it&apos;s fine",
    "1 &lt; 2 &amp;&amp; 3 &gt; 2 — obviously",
    "&lt;tc&gt;{&quot;cmd&quot;:&quot;seek&quot;,&quot;pos&quot;:1234}&lt;/tc&gt;",
    "ca:volume=40",
    "The quick brown fox jumps over the lazy dog while the room keeps chatting about "
    "playlists, codecs, subtitles and whether the buffering is their network or ours.",
};

// A 36-character occupant identifier as the hosts compose it.
inline std::string identifier(Rng& rng) {
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 36; ++i)
        id.push_back(i == 8 || i == 13 || i == 18 || i == 23 ? '-' : hex[rng.below(16)]);
    return id;
}

inline std::string nickname(Rng& rng) {
    return std::string(kNicks[rng.below(10)]) + identifier(rng) + ":us";
}

inline void appendGroupchat(std::string& out, Rng& rng, int id) {
    out += "<message from='4711@conference.example.test/";
    out += nickname(rng);
    out += "' to='listener@example.test/parley' type='groupchat' id='m";
    out += std::to_string(id);
    out += "'><body>";
    out += kBodies[rng.below(sizeof kBodies / sizeof kBodies[0])];
    out += "</body></message>";
}

inline void appendPresence(std::string& out, Rng& rng) {
    static const char* const roles[] = {"participant", "moderator", "visitor"};
    static const char* const affs[] = {"none", "member", "owner", "admin"};
    const std::string nick = nickname(rng);
    out += "<presence from='4711@conference.example.test/" + nick +
           "' to='listener@example.test/parley'><show>away</show><status>watching</status>"
           "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1' node='http://example.test/caps' "
           "ver='q07IKJEyjvHSyhy//CH0CxmKi8w='/><x xmlns='http://jabber.org/protocol/muc#user'>"
           "<item affiliation='";
    out += affs[rng.below(4)];
    out += "' role='";
    out += roles[rng.below(3)];
    out += "' jid='user" + std::to_string(rng.below(100000)) + "@example.test/desktop' tc='" +
           std::to_string(rng.below(5)) + "'/>";
    if (rng.below(4) == 0) out += "<status code='110'/>";
    out += "</x></presence>";
}

inline void appendRoster(std::string& out, Rng& rng, int items) {
    out += "<iq type='result' id='roster1' to='listener@example.test/parley'>"
           "<query xmlns='jabber:iq:roster'>";
    for (int i = 0; i < items; ++i) {
        out += "<item jid='contact" + std::to_string(i) + "@example.test' name='";
        out += kNicks[rng.below(10)];
        out += "' subscription='both'><group>Friends</group>";
        if (rng.below(3) == 0) out += "<group>Work &amp; Co</group>";
        out += "</item>";
    }
    out += "</query></iq>";
}

inline void appendBigMessage(std::string& out, Rng& rng, std::size_t bodyBytes) {
    out += "<message from='4711@conference.example.test/" + nickname(rng) +
           "' type='groupchat'><body>";
    std::string body;
    while (body.size() < bodyBytes) {
        body += kBodies[rng.below(sizeof kBodies / sizeof kBodies[0])];
        body += ' ';
    }
    out += body;
    out += "</body></message>";
}

inline std::string streamHeader() {
    return "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
           "xmlns:stream='http://etherx.jabber.org/streams' id='b3d4c5e6' from='example.test' "
           "version='1.0' xml:lang='en'>";
}

// A client's inbound stream of at least minBytes: mostly room chatter and
// presences, a few large roster results and 64 KiB messages, keep-alives.
inline std::string generateClientStream(std::size_t minBytes, std::uint64_t seed = 42) {
    Rng rng(seed);
    std::string out = streamHeader();
    out += "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/></stream:features>";
    int id = 0;
    while (out.size() < minBytes) {
        const std::uint32_t pick = rng.below(10000);
        if (pick < 6400)
            appendGroupchat(out, rng, ++id);
        else if (pick < 9600)
            appendPresence(out, rng);
        else if (pick < 9987)
            out += rng.below(2) ? " " : "\n";
        else if (pick < 9997)
            appendRoster(out, rng, 400);
        else
            appendBigMessage(out, rng, 64 * 1024);
    }
    return out;
}

}  // namespace bench

#endif
