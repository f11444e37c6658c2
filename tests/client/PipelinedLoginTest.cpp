// The login's last steps on the wire: a session the server marks optional
// is not requested, and the session's first requests go out together, in
// one write, without waiting for each other's answers.
#include <gtest/gtest.h>

#include "support/FakeSession.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::features;
using testsupport::mechanisms;
using testsupport::serverHeader;

namespace {

const std::string kBind = "<bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/>";
// The ids go on from the bind request's uid1 (and the session's uid2).
std::string firstRequests(int firstId) {
    return "<iq id='uid" + std::to_string(firstId) +
           "' type='get'><query xmlns='jabber:iq:private'><roster xmlns='roster:delimiter'/></query></iq>"
           "<iq type='get' id='uid" + std::to_string(firstId + 1) + "'><query xmlns='jabber:iq:roster'/></iq>"
           "<presence><priority>0</priority></presence>";
}

// Up to the bind result; returns the writes that followed it.
std::vector<std::string> bindWith(FakeSession& s, const std::string& sessionFeature) {
    s.open();
    s.says(serverHeader() + features(mechanisms({"PLAIN"})));
    s.says("<success xmlns='urn:ietf:params:xml:ns:xmpp-sasl'/>");
    s.says(serverHeader("s2") + features(kBind + sessionFeature));
    s.fake->takeWrites();
    s.says("<iq type='result' id='uid1'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>user@example.test/res"
           "</jid></bind></iq>");
    return s.fake->takeWrites();
}

}  // namespace

TEST(PipelinedLogin, OptionalSessionSkippedAndTheFirstRequestsInOneWrite) {
    struct Case {
        const char* name;
        std::string sessionFeature;
        std::vector<std::string> afterBind;
        bool sessionAsked;
    };
    const std::string session = "<iq type='set' id='uid2'><session xmlns='urn:ietf:params:xml:ns:xmpp-session'/></iq>";
    const Case cases[] = {
        {"optional", "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'><optional/></session>", {firstRequests(2)},
         false},
        {"none", "", {firstRequests(2)}, false},
        {"required", "<session xmlns='urn:ietf:params:xml:ns:xmpp-session'/>", {session}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSession s;
        EXPECT_EQ(bindWith(s, c.sessionFeature), c.afterBind);
        if (c.sessionAsked) {
            s.says("<iq type='result' id='uid2'/>");
            EXPECT_EQ(s.fake->takeWrites(), std::vector<std::string>{firstRequests(3)});
        }
        EXPECT_FALSE(s.listener.has("connected"));  // not before the roster
        s.says("<iq type='result' id='uid" + std::to_string(c.sessionAsked ? 4 : 3) +
               "'><query xmlns='jabber:iq:roster'/></iq>");
        EXPECT_TRUE(s.listener.has("connected"));
        EXPECT_EQ(s.sent(), "");  // the presence went out already
    }
}
