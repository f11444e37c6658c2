// Arbitrary bytes from "the server" into a client that is negotiating: the
// engine, SASL and SASL2 with Bind2 (DIGEST-MD5 and SCRAM challenges
// included), STARTTLS with
// garbage for a handshake, legacy authentication,
// binding, the roster, discovery and a joined room must survive whatever
// arrives.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "client/Client.h"
#include "services/MUCRoom.h"
#include "support/FakeConnection.h"
#include "support/RoomRecorder.h"

using namespace tern;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the client and the mechanisms it allows.
    const std::uint8_t mode = data[0];
    std::unique_ptr<Client> client = (mode & 1) ? std::make_unique<Client>("example.test")
                                                : std::make_unique<Client>(JID("user@example.test/res"), "secret", 5222);
    client->setSaslMechanisms((mode & 2) ? 0 : ((mode & 4) ? SaslPlain : 0xFFFF));
    client->setSaslClientNonce("0123456789abcdef0123456789abcdef");
    // Ids the corpus can answer: uid1 (bind), uid2 (session), ...
    client->setIdSource([n = 0]() mutable { return "uid" + std::to_string(++n); });
    auto* fake = new testsupport::FakeConnection(client.get());
    client->setConnectionImpl(fake);
    client->connect(false);
    // A joined room, so that room presences and messages are parsed too.
    testsupport::RoomRecorder events;
    MUCRoom room(client.get(), JID("4711@conference.example.test/me"), &events, &events);
    room.joinRoom();
    // Chunks of varying size, as a connection would deliver them.
    std::size_t offset = 1;
    std::size_t step = 1 + (mode >> 3);
    while (offset < size && client->state() == StateConnected) {
        const std::size_t n = std::min(step, size - offset);
        fake->serverSays(std::string(reinterpret_cast<const char*>(data) + offset, n));
        offset += n;
        step = step * 3 % 1021 + 1;
    }
    fake->takeWrites();
    return 0;
}
