// The C++ stack from an installed copy: logs in over STARTTLS (the server's
// certificate checked against the given authority), joins a room and logs
// out once the room reports the own arrival.
//   consumer-room USER@SERVER/RESOURCE PASSWORD ROOM@SERVICE/NICK CA-FILE
#include <parley/client/Client.h>
#include <parley/services/MUCRoom.h>

#include <cstdio>
#include <memory>

using namespace tern;

namespace {

class Session : public NetworkListener, public MUCRoomHandler {
public:
    Session(Client& client, JID room) : client_(client), roomJid_(std::move(room)) {}

    void handleConnected() override {
        std::printf("connected as %s\n", client_.jid().full().c_str());
        room_ = std::make_unique<MUCRoom>(&client_, roomJid_, this, nullptr);
        room_->joinRoom();
    }
    void handleDisconnected(ConnectionError e) override {
        std::printf("disconnected (%d)\n", e);
        done = true;
    }
    bool handleTlsConnected(const CertificateInfo& info) override {
        std::printf("TLS %s, chain %s\n", info.protocol.c_str(), info.chainValid ? "valid" : "invalid");
        return info.chainValid;
    }

    void onOccupantPresence(MUCRoom*, OccupantInfo occupant, PresenceShow show) override {
        if (show != PresenceShowAvailable || occupant.nick.resource() != roomJid_.resource()) return;
        std::printf("in the room %s\n", roomJid_.bare().c_str());
        joined = true;
        room_->leaveRoom();
        client_.disconnect();
    }
    void onRoomError(MUCRoom*, StanzaError error) override {
        std::printf("room error %d\n", error);
        client_.disconnect();
    }
    bool onRoomCreated(MUCRoom*) override { return true; }
    void onRoomMessage(MUCRoom*, const std::string&, const std::string&, bool, const std::string&, bool) override {}
    void onRoomSubject(MUCRoom*, const std::string&, const std::string&) override {}
    void onInviteDeclined(MUCRoom*, const JID&, const std::string&) override {}
    void onRoomInfo(MUCRoom*, int, const std::string&, std::unique_ptr<XmlDataForm>) override {}
    void onRoomItems(MUCRoom*, const DiscoItemList&) override {}

    bool done = false;
    bool joined = false;

private:
    Client& client_;
    JID roomJid_;
    std::unique_ptr<MUCRoom> room_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s JID PASSWORD ROOM-JID CA-FILE\n", argv[0]);
        return 2;
    }
    Client client(JID(argv[1]), argv[2]);
    client.setCACerts({argv[4]});
    Session session(client, JID(argv[3]));
    client.addNetworkListener(&session);
    if (!client.connect(false)) return 1;
    // One receive call per second at most, for at most 30 seconds.
    for (int i = 0; i < 30 && !session.done; ++i) {
        if (client.receive(1000000) != NoError) break;
    }
    return session.joined ? 0 : 1;
}
