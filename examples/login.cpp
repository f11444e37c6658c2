// Logs in with the C++ interface, prints the stream events and the roster,
// and logs out.
//
//   parley-login JID PASSWORD [PORT] [-v]
//
// Without PORT the server is found through its DNS SRV record. -v prints
// every stanza (credentials are redacted).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/Client.h"
#include "services/RosterManager.h"

using namespace tern;

namespace {

const char* eventName(StreamEvent e) {
    switch (e) {
        case StreamEventEncryption: return "starting encryption";
        case StreamEventCompression: return "starting compression";
        case StreamEventAuthentication: return "authenticating";
        case StreamEventResourceBinding: return "binding a resource";
        case StreamEventSessionCreation: return "creating the session";
        case StreamEventRoster: return "requesting the roster";
        case StreamEventFinished: return "negotiation finished";
    }
    return "?";
}

class Printer : public NetworkListener, public LogExportHandler {
public:
    explicit Printer(Client& c) : client_(c) {}
    void handleConnected() override {
        std::printf("connected as %s\n", client_.jid().full().c_str());
        auto lock = client_.rosterManager()->lock();
        std::printf("roster: %zu contacts\n", client_.rosterManager()->roster().size());
        for (const auto& entry : client_.rosterManager()->roster())
            std::printf("  %s %s\n", entry.first.c_str(), entry.second->name().c_str());
        done = true;
        client_.disconnect();
    }
    void handleDisconnected(ConnectionError e) override {
        std::printf("disconnected (%d)\n", e);
        done = true;
        result = e;
    }
    bool handleTlsConnected(const CertificateInfo& info) override { return info.chainValid; }
    void handleStreamEvent(StreamEvent e) override { std::printf("stream event: %s\n", eventName(e)); }
    void handleLogMessage(int, int area, const std::string& message) override {
        std::printf("%s %s\n", area == LogAreaXmlIncoming ? "<<" : area == LogAreaXmlOutgoing ? ">>" : "--",
                    message.c_str());
    }
    bool done = false;
    int result = -1;

private:
    Client& client_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s JID PASSWORD [PORT] [-v]\n", argv[0]);
        return 2;
    }
    int port = -1;
    bool verbose = false;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0)
            verbose = true;
        else
            port = std::atoi(argv[i]);
    }
    Client client(JID(argv[1]), argv[2], port);
    Printer printer(client);
    client.addNetworkListener(&printer);
    if (verbose) client.logInstance().addReceiver(&printer, LogDebug, LogAreaAll);
    if (!client.connect(false)) return 1;
    while (!printer.done && client.receive(1000000) == NoError) {
    }
    client.logInstance().removeReceiver(&printer);
    return printer.result == UserDisconnected ? 0 : 1;
}
