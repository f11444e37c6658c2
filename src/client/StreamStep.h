// The steps a connection goes through, in the order a login takes them.
// The engine acts on an element only in the step that expects it: anything
// else ends the connection with a stream error, never a change of state.
#ifndef TERN_CLIENT_STREAMSTEP_H
#define TERN_CLIENT_STREAMSTEP_H

namespace tern {

enum class StreamStep {
    Closed,        // no connection
    Header,        // the server's stream header is due (also after a restart)
    Features,      // its stream features are due
    StartTls,      // <starttls/> went out: <proceed/> or <failure/>
    TlsHandshake,  // TLS records only, until the handshake is done
    Sasl,          // <auth/> went out: challenges, then <success/> or <failure/>
    Sasl2,         // SASL2's <authenticate/> went out: challenges, then <success/> or <failure/>
    LegacyAuth,    // a jabber:iq:auth request is out: only its answer
    Resume,        // <resume/> went out: <resumed/> or <failed/>
    Bind,          // the bind request is out: only its answer
    Session,       // bound, the session request is out: stanzas flow
    Established,   // stanzas flow
};

inline const char* streamStepName(StreamStep step) {
    switch (step) {
        case StreamStep::Closed: return "closed";
        case StreamStep::Header: return "waiting for the stream header";
        case StreamStep::Features: return "waiting for stream features";
        case StreamStep::StartTls: return "STARTTLS";
        case StreamStep::TlsHandshake: return "TLS handshake";
        case StreamStep::Sasl: return "SASL authentication";
        case StreamStep::Sasl2: return "SASL2 authentication";
        case StreamStep::LegacyAuth: return "legacy authentication";
        case StreamStep::Resume: return "resuming the session";
        case StreamStep::Bind: return "binding a resource";
        case StreamStep::Session: return "starting the session";
        case StreamStep::Established: return "established";
    }
    return "?";
}

// Whether stanzas from anyone may arrive in this step.
inline bool stanzasFlow(StreamStep step) { return step == StreamStep::Session || step == StreamStep::Established; }

}  // namespace tern

#endif
