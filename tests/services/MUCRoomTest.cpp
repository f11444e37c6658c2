// The room and message sessions against the fake server, byte for byte.
#include <gtest/gtest.h>

#include "services/MUCRoom.h"
#include "services/MessageSession.h"
#include "stanza/Constants.h"
#include "support/FakeSession.h"
#include "support/RoomRecorder.h"

using namespace tern;
using testsupport::FakeSession;
using testsupport::RoomRecorder;

namespace {

const std::string kUser = "http://jabber.org/protocol/muc#user";

struct RoomFixture {
    FakeSession s;
    RoomRecorder events;
    std::unique_ptr<MUCRoom> room;
    explicit RoomFixture(bool join = true) {
        s.login();
        room = std::make_unique<MUCRoom>(s.client.get(), JID("room@conf.example.test/me"), &events, &events);
        if (join) {
            room->joinRoom();
            s.sent();
        }
    }
    std::string presence(const std::string& nick, const std::string& x, const std::string& type = "") {
        return "<presence from='room@conf.example.test/" + nick + "'" + (type.empty() ? "" : " type='" + type + "'") +
               "><x xmlns='" + kUser + "'>" + x + "</x></presence>";
    }
};

}  // namespace

TEST(MUCRoom, JoinSendsOnePresenceAndNicknameChangesBeforeJoiningSendNothing) {
    RoomFixture f(false);
    f.room->changeNickname("other");
    EXPECT_EQ(f.s.sent(), "");
    EXPECT_EQ(f.room->nickname(), "other");
    f.room->joinRoom();
    EXPECT_EQ(f.s.sent(), "<presence to='room@conf.example.test/other'><x xmlns='http://jabber.org/protocol/muc'/></presence>");
    EXPECT_TRUE(f.room->joined());
    f.room->joinRoom();  // already joined
    EXPECT_EQ(f.s.sent(), "");
}

TEST(MUCRoom, OccupantPresencesWithRolesAffiliationsAndStatusCodes) {
    RoomFixture f;
    f.s.says(f.presence("firstwitch", "<item affiliation='owner' role='moderator' jid='crone1@shakespeare.lit/desktop' tc='7'/>"));
    f.s.says(f.presence("me", "<item affiliation='member' role='participant'/><status code='100'/><status code='110'/>"));
    f.s.says(f.presence("hostile", ""));  // no item at all
    f.s.says("<presence from='room@conf.example.test/noext'/>");  // no muc#user payload: ignored
    f.s.says("<presence from='elsewhere@conf.example.test/x'><x xmlns='" + kUser + "'><item role='moderator'/></x>"
             "</presence>");  // another room: ignored
    EXPECT_EQ(f.events.lines(),
              (std::vector<std::string>{
                  "presence firstwitch show=1 role=3 aff=3 flags=0 jid=crone1@shakespeare.lit/desktop tc=7",
                  "presence me show=1 role=2 aff=2 flags=1",
                  "presence hostile show=1 role=0 aff=0 flags=0",
              }));
    EXPECT_EQ(f.room->ownRole(), RoleParticipant);
    EXPECT_EQ(f.room->ownAffiliation(), AffiliationMember);
    EXPECT_TRUE(f.room->flags() & FlagNonAnonymous);

    f.events.clear();
    f.s.says(f.presence("thirdwitch", "<item affiliation='none' role='none'><actor jid='boss@x/y'/><reason>go</reason></item>"
                                       "<status code='307'/>", "unavailable"));
    f.s.says(f.presence("c", "<item affiliation='outcast' role='none'/><status code='301'/>", "unavailable"));
    f.s.says(f.presence("d", "<item affiliation='none' role='none'/><status code='321'/>", "unavailable"));
    f.s.says(f.presence("e", "<item affiliation='none' role='none'/><destroy jid='new@conf.example.test'><reason>bye</reason></destroy>",
                        "unavailable"));
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{"presence thirdwitch show=6 role=0 aff=0 flags=4",
                                                          "presence c show=6 role=0 aff=1 flags=8",
                                                          "presence d show=6 role=0 aff=0 flags=16",
                                                          "presence e show=6 role=0 aff=0 flags=32"}));
    ASSERT_TRUE(f.events.occupants[0].actor.has_value());
    EXPECT_EQ(f.events.occupants[0].actor->full(), "boss@x/y");
    EXPECT_EQ(f.events.occupants[0].reason, "go");
    EXPECT_EQ(f.events.occupants[3].alternate->full(), "new@conf.example.test");
    EXPECT_EQ(f.events.occupants[3].reason, "bye");
}

TEST(MUCRoom, CreatedRoomIsAcknowledgedAsInstantRoom) {
    RoomFixture f;
    f.s.says(f.presence("me", "<item affiliation='owner' role='moderator'/><status code='110'/><status code='201'/>"));
    EXPECT_TRUE(f.room->created());
    EXPECT_EQ(f.s.sent(),
              "<iq type='set' to='room@conf.example.test' id='uid5'><query "
              "xmlns='http://jabber.org/protocol/muc#owner'><x xmlns='jabber:x:data' type='submit'/></query></iq>");
    f.s.says("<iq type='result' id='uid5' from='room@conf.example.test'/>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{"created", "presence me show=1 role=3 aff=3 flags=1",
                                                          "admin ok 1"}));

    RoomFixture refusing(true);
    refusing.events.acceptCreated = false;
    refusing.s.says(refusing.presence("me", "<item affiliation='owner' role='moderator'/><status code='201'/>"));
    EXPECT_EQ(refusing.s.sent(), "");
}

TEST(MUCRoom, NicknameChangesAssignmentAndConflicts) {
    RoomFixture f;
    f.s.says(f.presence("me", "<item role='participant'/><status code='110'/>"));
    f.room->changeNickname("newme");
    EXPECT_EQ(f.s.sent(), "<presence to='room@conf.example.test/newme'/>");
    EXPECT_EQ(f.room->nickname(), "me");  // until the room confirms
    EXPECT_EQ(f.room->state(), RoomState::NickChangePending);
    // A conflict while the change is pending keeps the room and the nickname.
    f.s.says("<presence from='room@conf.example.test/newme' type='error'><error type='cancel'><conflict "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></presence>");
    EXPECT_TRUE(f.room->joined());
    EXPECT_EQ(f.room->pendingNickname(), "");
    EXPECT_EQ(f.room->nickname(), "me");
    EXPECT_TRUE(f.events.has("error 2"));

    f.room->changeNickname("newme");
    f.s.sent();
    // Confirmed without 110 (the new nickname matches the pending one)...
    f.s.says(f.presence("me", "<item affiliation='none' role='participant' nick='newme'/><status code='303'/>", "unavailable"));
    EXPECT_EQ(f.room->nickname(), "newme");
    EXPECT_EQ(f.events.occupants.back().flags, UserSelf | UserNickChanged);
    // ...or with it.
    f.room->changeNickname("third");
    f.s.sent();
    f.s.says(f.presence("newme", "<item nick='third'/><status code='303'/><status code='110'/>", "unavailable"));
    EXPECT_EQ(f.room->nickname(), "third");
    // Someone else's change leaves ours alone.
    f.s.says(f.presence("other", "<item nick='third2'/><status code='303'/>", "unavailable"));
    EXPECT_EQ(f.room->nickname(), "third");
    // A change the room prepares (fullwidth letters to ASCII) is ours under
    // its spelling, confirmed or refused; and what XML cannot carry is
    // asked for, and confirmed, as U+FFFD.
    f.room->changeNickname("\xEF\xBC\xA6ourth");
    f.s.says(f.presence("third", "<item nick='Fourth'/><status code='303'/><status code='110'/>", "unavailable"));
    EXPECT_EQ(f.room->nickname(), "Fourth");
    EXPECT_EQ(f.room->pendingNickname(), "");
    EXPECT_EQ(f.room->state(), RoomState::Joined);
    f.room->changeNickname("\xEF\xBC\xA6ifth");
    f.s.says("<presence from='room@conf.example.test/Fifth' type='error'><error type='cancel'><conflict "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></presence>");
    EXPECT_EQ(f.room->state(), RoomState::Joined);
    EXPECT_EQ(f.room->pendingNickname(), "");
    f.s.sent();
    f.room->changeNickname("Six\xEF\xBF\xBF");
    EXPECT_EQ(f.s.sent(), "<presence to='room@conf.example.test/Six\xEF\xBF\xBD'/>");
    f.s.says(f.presence("Fourth", "<item nick='Six\xEF\xBF\xBD'/><status code='303'/>", "unavailable"));
    EXPECT_EQ(f.room->nickname(), "Six\xEF\xBF\xBD");
    EXPECT_EQ(f.room->state(), RoomState::Joined);
    // A nickname assigned (210) is ours only on our own presence.
    f.s.says(f.presence("assigned", "<item role='participant'/><status code='110'/><status code='210'/>"));
    EXPECT_EQ(f.room->nickname(), "Six\xEF\xBF\xBD");

    // An error without a pending change: we are out of the room.
    f.s.says("<presence from='room@conf.example.test/Six\xEF\xBF\xBD' type='error'><error type='auth'><forbidden "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></presence>");
    EXPECT_FALSE(f.room->joined());
    EXPECT_TRUE(f.events.has("error 4"));
    f.room->sendMessage("nobody hears");
    EXPECT_EQ(f.s.sent(), "");

    // The room may assign a nickname when we join.
    RoomFixture g;
    g.s.says(g.presence("assigned", "<item role='participant'/><status code='110'/><status code='210'/>"));
    EXPECT_EQ(g.room->nickname(), "assigned");
    EXPECT_EQ(g.room->state(), RoomState::Joined);
}

// What each message is, by its type, its sender and where the join stands:
// history only between the join's answer and the subject or the first
// message without the room's stamp; the subject only
// in a groupchat message without a body or a thread (XEP-0045 8.1: Prosody
// relays the others from occupants it lets change no subject); the room's
// configuration only from the room's own address; a thread anywhere.
TEST(MUCRoom, MessagesSubjectsAndErrors) {
    RoomFixture f;
    f.s.says(f.presence("me", "<item role='participant'/><status code='110'/>"));
    f.events.clear();
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>old</body><delay xmlns='urn:xmpp:delay' "
             "stamp='2002-10-13T23:58:37Z'/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>older</body><x xmlns='jabber:x:delay' "
             "stamp='20021013T23:58:37'/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>hi &lt;b&gt; ünï 🎉</body></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><subject>S</subject><body>both</body></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><subject>S</subject><body/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><subject>S</subject><thread>t0</thread></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>stamped after live speech</body><delay "
             "xmlns='urn:xmpp:delay' stamp='2002-10-13T23:58:37Z'/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><subject/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>late</body><delay xmlns='urn:xmpp:delay' "
             "stamp='2002-10-13T23:58:37Z'/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='chat'><subject>forged</subject><body>psst</body></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>threaded</body><thread>t1</thread></message>");
    f.s.says("<message from='room@conf.example.test/a' type='chat'><body>threaded, private</body><thread>t2</thread>"
             "</message>");
    f.s.says("<message from='room@conf.example.test/a' type='normal'><subject>forged</subject></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><x xmlns='" + kUser +
             "'><status code='172'/><status code='170'/></x></message>");
    f.s.says("<message from='room@conf.example.test/a' type='chat'><x xmlns='" + kUser +
             "'><decline from='hecate@shakespeare.lit'/></x></message>");
    f.s.says("<message from='room@conf.example.test' type='error'><body>mine</body><error type='modify'><not-acceptable "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></message>");
    f.s.says("<message from='room@conf.example.test'><x xmlns='" + kUser +
             "'><decline from='hecate@shakespeare.lit'><reason>Sorry</reason></decline><status code='170'/></x></message>");
    f.s.says("<message from='room@conf.example.test'><x xmlns='jabber:x:data' type='form'><field var='x'/></x></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>no form</body><x xmlns='jabber:x:data' "
             "type='form'><field var='x'/></x></message>");
    f.s.says("<message from='room@conf.example.test/a' type='headline'><body>never</body></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'/>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{
                                    "message a: old [history 2002-10-13T23:58:37Z]",
                                    "message a: older [history 20021013T23:58:37]",
                                    "message a: hi <b> ünï 🎉",
                                    "message a: both",
                                    "message a: stamped after live speech",  // history ended at "hi"
                                    "subject a: ",
                                    "message a: late",
                                    "message a: psst [private]",
                                    "message a: threaded",
                                    "message a: threaded, private [private]",
                                    "error 9",
                                    "declined hecate@shakespeare.lit: Sorry",
                                    "request form",
                                    "message a: no form",
                                }));
    EXPECT_EQ(f.room->flags(), FlagLogging);  // the room's 170; not the occupant's 172

    f.room->sendMessage("x < y & 'z'");
    EXPECT_EQ(f.s.sent(), "<message type='groupchat' from='user@example.test/res' to='room@conf.example.test' "
                          "id='uid5'><body>x &lt; y &amp; &apos;z&apos;</body><origin-id xmlns='urn:xmpp:sid:0' "
                          "id='uid5'/></message>");
    f.room->changeSubject("new");
    EXPECT_EQ(f.s.sent(), "<message to='room@conf.example.test' type='groupchat'><subject>new</subject></message>");
}

TEST(MUCRoom, AdministrationRequestsAndTheirAnswers) {
    RoomFixture f;
    f.room->kick("bad guy");
    EXPECT_EQ(f.s.sent(), "<iq type='set' to='room@conf.example.test' id='uid5'><query "
                          "xmlns='http://jabber.org/protocol/muc#admin'><item nick='bad guy' role='none'/></query></iq>");
    f.room->setAffiliation("o", AffiliationOwner, "trust");
    EXPECT_EQ(f.s.sent(), "<iq type='set' to='room@conf.example.test' id='uid6'><query "
                          "xmlns='http://jabber.org/protocol/muc#admin'><item nick='o' affiliation='owner'><reason>trust"
                          "</reason></item></query></iq>");
    f.room->setAffiliation("a", AffiliationAdmin);
    f.room->ban("b");
    f.room->revokeVoice("v");
    f.room->grantVoice("v");
    f.room->setRole("m", RoleModerator);
    f.room->setRole("", RoleModerator);  // no nickname: nothing
    f.room->setRole("x", 9);             // unknown role: no value, context 7
    const std::string sent = f.s.sent();
    EXPECT_NE(sent.find("id='uid7'><query xmlns='http://jabber.org/protocol/muc#admin'><item nick='a' affiliation='admin'/>"),
              std::string::npos);
    EXPECT_NE(sent.find("<item nick='x'/>"), std::string::npos);
    // uid5 kick(7) uid6 owner(15) uid7 admin(14) uid8 ban(12) uid9 visitor(8) uid10 participant(9) uid11 moderator(10) uid12 (7)
    for (int i = 5; i <= 12; ++i)
        f.s.says("<iq type='" + std::string(i % 2 ? "result" : "error") + "' id='uid" + std::to_string(i) +
                 "' from='room@conf.example.test'/>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{"admin ok 7", "admin refused 15", "admin ok 14",
                                                          "admin refused 12", "admin ok 8", "admin refused 9",
                                                          "admin ok 10", "admin refused 7"}));
    f.events.clear();
    JID elsewhere("next@conf.example.test/ignored");
    f.room->destroy("closing", &elsewhere, "pw");
    EXPECT_EQ(f.s.sent(), "<iq type='set' to='room@conf.example.test' id='uid13'><query "
                          "xmlns='http://jabber.org/protocol/muc#owner'><destroy jid='next@conf.example.test'><reason>"
                          "closing</reason><password>pw</password></destroy></query></iq>");
    f.s.says("<iq type='result' id='uid13' from='room@conf.example.test'/>");
    EXPECT_EQ(f.events.lines(), std::vector<std::string>{"admin ok 4"});

    f.room->leaveRoom("bye");
    EXPECT_EQ(f.s.sent(), "<presence type='unavailable' to='room@conf.example.test/me'><status>bye</status><x "
                          "xmlns='http://jabber.org/protocol/muc'/></presence>");
    f.room->destroy();
    f.room->kick("x");
    f.room->leaveRoom();
    EXPECT_EQ(f.s.sent(), "");
}

TEST(MUCRoom, RoomInformationAndItems) {
    RoomFixture f;
    f.room->requestRoomInfo();
    EXPECT_EQ(f.s.sent(), "<iq type='get' id='uid5' to='room@conf.example.test'><query "
                          "xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    f.s.says("<iq type='result' id='uid5' from='room@conf.example.test'><query xmlns='http://jabber.org/protocol/disco#info'>"
             "<identity category='conference' name='4711' type='text'/><feature var='muc_nonanonymous'/>"
             "<feature var='muc_semianonymous'/><feature var='muc_persistent'/><x xmlns='jabber:x:data' type='result'>"
             "<field var='muc#roominfo_occupants'><value>3</value></field></x></query></iq>");
    EXPECT_EQ(f.events.lines(), std::vector<std::string>{"info " + std::to_string(FlagSemiAnonymous | FlagPersistent) + " 4711 form"});
    EXPECT_EQ(f.events.lastForm->field("muc#roominfo_occupants")->value(), "3");
    f.room->requestRoomItems();
    f.s.sent();
    f.s.says("<iq type='result' id='uid6' from='room@conf.example.test'><query xmlns='http://jabber.org/protocol/disco#items'><item "
             "jid='room@conf.example.test/a' name='a'/></query></iq>");
    f.room->requestRoomInfo();
    f.room->requestRoomItems();
    f.s.says("<iq type='error' id='uid7' from='room@conf.example.test'/><iq type='error' id='uid8' from='room@conf.example.test'/>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{
                                    "info " + std::to_string(FlagSemiAnonymous | FlagPersistent) + " 4711 form",
                                    "items room@conf.example.test/a", "info 0 ", "items"}));
}

// Only the room's muc#user element speaks, and its 110, 201 and 210 only
// on our own occupant's presence. jabberd2's mu-conference 0.8 passes an
// occupant's own element on, before the one it adds (seen live: a joiner's
// <status code='110'/> and <item role='moderator' jid='victim@...'/>
// reached every occupant). Either way the occupant is not us, not a
// moderator, not that account, creates nothing, and its departure does not
// end us.
TEST(MUCRoom, AnOccupantsOwnUserElementIsNotTheRooms) {
    const std::string eve = "<item jid='eve@example.test/r' affiliation='none' role='participant'/>";
    const std::string codes = "<status code='110'/><status code='210'/><status code='201'/>";
    const struct {
        const char* name;
        std::string x;
    } rows[] = {
        {"the occupant's element passed on before the room's",
         "<x xmlns='" + kUser + "'><item affiliation='owner' role='moderator' jid='victim@example.test/x'/>" + codes +
             "</x><x xmlns='" + kUser + "'>" + eve + "</x>"},
        {"the codes in the room's element", "<x xmlns='" + kUser + "'>" + eve + codes + "</x>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RoomFixture f;
        f.s.says(f.presence("me", "<item affiliation='owner' role='moderator'/><status code='110'/>"));
        f.s.sent();
        f.events.clear();
        f.s.says("<presence from='room@conf.example.test/eve'><x xmlns='http://jabber.org/protocol/muc'/>" + row.x +
                 "</presence>");
        EXPECT_EQ(f.events.lines(),
                  (std::vector<std::string>{"presence eve show=1 role=2 aff=0 flags=0 jid=eve@example.test/r"}));
        EXPECT_EQ(f.room->nickname(), "me");
        EXPECT_FALSE(f.room->created());
        EXPECT_EQ(f.room->ownRole(), RoleModerator);
        EXPECT_EQ(f.s.sent(), "");  // no configuration asked of the room
        f.s.says("<presence type='unavailable' from='room@conf.example.test/eve'><x xmlns='" + kUser +
                 "'><status code='110'/><status code='307'/></x><x xmlns='" + kUser +
                 "'><item jid='eve@example.test/r' affiliation='none' role='none'/></x></presence>");
        EXPECT_EQ(f.room->state(), RoomState::Joined);
    }
}

// The room may spell our nickname otherwise than we asked: servers prepare
// it (Prosody and ejabberd map fullwidth letters to ASCII, NFKC), and the
// serializer writes U+FFFD for what XML cannot carry. Our own occupant is
// then the room's spelling, taken from the answer to our join: a kick
// (with 110) and ejabberd's destroy (without it) from that address end the
// room session.
TEST(MUCRoom, TheRoomsSpellingOfOurNicknameIsOurs) {
    struct Case {
        const char* name;
        std::string asked, spelled, end;
    };
    const std::string destroyed = "<item role='none' affiliation='none'/><destroy/>";
    const Case cases[] = {
        {"fullwidth letters, kicked", "\xEF\xBC\xB4\xEF\xBD\x81ro", "Taro",
         "<item role='none' affiliation='none'/><status code='110'/><status code='307'/>"},
        {"fullwidth letters, destroyed as ejabberd does", "\xEF\xBC\xB4\xEF\xBD\x81ro", "Taro", destroyed},
        {"U+FFFF written as U+FFFD, destroyed", "Ta\xEF\xBF\xBFro", "Ta\xEF\xBF\xBDro", destroyed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSession s;
        RoomRecorder events;
        s.login();
        MUCRoom room(s.client.get(), JID("room@conf.example.test/" + c.asked), &events, &events);
        room.joinRoom();
        s.sent();
        s.says("<presence from='room@conf.example.test/" + c.spelled + "'><x xmlns='" + kUser +
               "'><item affiliation='none' role='participant'/><status code='110'/></x></presence>");
        ASSERT_EQ(room.state(), RoomState::Joined);
        EXPECT_TRUE(room.hasNickname(c.spelled));
        s.says("<presence type='unavailable' from='room@conf.example.test/" + c.spelled + "'><x xmlns='" + kUser + "'>" +
               c.end + "</x></presence>");
        EXPECT_EQ(room.state(), RoomState::Ended);
        ASSERT_FALSE(events.occupants.empty());
        EXPECT_TRUE(events.occupants.back().flags & UserSelf) << events.all();
    }
}

TEST(MessageSession, ThreadsFiltersAndTheHandler) {
    FakeSession s;
    s.login();
    struct Handler : MessageHandler {
        std::vector<std::string> got;
        void handleMessageStanza(Stanza* m, MessageSessionBase* session) override {
            got.push_back(m->body() + "|" + m->thread() + "|" + (session ? "session" : "none"));
        }
    } handler;
    struct Filter : MessageFilter {
        int decorated = 0, seen = 0;
        void decorate(XmlTag& m) override {
            ++decorated;
            m.setAttribute("x-filtered", "yes");
        }
        void filter(Stanza&) override { ++seen; }
    };
    auto* filter = new Filter;
    auto* session = new MessageSession(s.client.get(), JID("juliet@example.test"));
    session->setMessageHandler(&handler);
    session->addFilter(filter);
    session->sendMessage("hello", "topic");
    EXPECT_EQ(s.sent(), "<message type='chat' from='user@example.test/res' to='juliet@example.test' id='uid6' "
                        "x-filtered='yes'><body>hello</body><subject>topic</subject><thread>xmppuid5</thread></message>");
    EXPECT_EQ(session->threadId(), "xmppuid5");
    EXPECT_EQ(filter->decorated, 1);
    // A message in another thread is not this conversation.
    s.says("<message from='juliet@example.test/balcony' type='chat'><thread>other</thread><body>hi</body></message>");
    EXPECT_TRUE(handler.got.empty());
    // The first reply from a full address: the session locks onto it.
    s.says("<message from='juliet@example.test/balcony' type='chat'><thread>xmppuid5</thread><body>hi</body></message>");
    EXPECT_EQ(session->targetCopy().full(), "juliet@example.test/balcony");
    EXPECT_EQ(session->threadId(), "xmppuid5");
    s.says("<message from='juliet@example.test/balcony' type='chat'><thread>xmppuid5</thread></message>");  // no body
    EXPECT_EQ(filter->seen, 2);
    EXPECT_EQ(handler.got, std::vector<std::string>{"hi|xmppuid5|session"});
    s.client->disposeMessageSession(session);
}

// A room that sends no subject after the join (mu-conference 0.8 does not):
// its history must not hold back what is said live, and an occupant's own
// <delay/> on a live message must not make it, and all behind it, wait.
// Seen live on jabberd2: "live now" reached the host 29 s after it was said.
// mu-conference stamps its history in both forms, from the room's address
// as it was first spelled, after a notice of its own that ends nothing.
TEST(MUCRoom, ARoomWithoutSubjectHoldsNothingBack) {
    RoomFixture f;
    f.s.says(f.presence("me", "<item role='participant'/><status code='110'/>"));
    f.events.clear();
    f.s.says("<message from='room@conf.example.test' type='groupchat'><body>room</body></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>said before</body><delay "
             "xmlns='urn:xmpp:delay' stamp='2026-12-09T10:00:00Z'/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>and before</body><x xmlns='jabber:x:delay' "
             "from='Room@conf.example.test' stamp='20261209T10:00:01'/><delay xmlns='urn:xmpp:delay' "
             "from='Room@conf.example.test' stamp='2026-12-09T10:00:01Z'/></message>");
    f.s.says("<message from='room@conf.example.test/b' type='groupchat'><body>live now</body></message>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{"message : room",
                                                          "message a: said before [history 2026-12-09T10:00:00Z]",
                                                          "message a: and before [history 2026-12-09T10:00:01Z]",
                                                          "message b: live now"}));
    f.events.clear();
    f.s.says("<message from='room@conf.example.test/eve' type='groupchat'><body>my own delay</body><delay "
             "xmlns='urn:xmpp:delay' stamp='2020-01-01T00:00:00Z'/></message>");
    f.s.says("<message from='room@conf.example.test/b' type='groupchat'><body>later</body></message>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{"message eve: my own delay", "message b: later"}));
    // Within the history, a <delay/> from anyone but the room is live speech
    // (XEP-0203: from names who delayed it), and ends the history.
    f.s.says(f.presence("me", "<item role='participant'/><status code='110'/>"));
    f.events.clear();
    f.s.says("<message from='room@conf.example.test/eve' type='groupchat'><body>offline</body><delay "
             "xmlns='urn:xmpp:delay' from='eve@example.test' stamp='2020-01-01T00:00:00Z'/></message>");
    f.s.says("<message from='room@conf.example.test/a' type='groupchat'><body>late</body><delay "
             "xmlns='urn:xmpp:delay' from='room@conf.example.test' stamp='2020-01-01T00:00:00Z'/></message>");
    EXPECT_EQ(f.events.lines(), (std::vector<std::string>{"message eve: offline", "message a: late"}));
}
