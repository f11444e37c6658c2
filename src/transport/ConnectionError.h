// Connection results and disconnect reasons shared by the transport and the
// stream engine, and the connection states.
#ifndef TERN_TRANSPORT_CONNECTIONERROR_H
#define TERN_TRANSPORT_CONNECTIONERROR_H

namespace tern {

enum ConnectionError {
    NoError = 0,
    StreamError = 1,           // the server sent a stream error
    StreamVersionError = 2,    // the server's stream version was rejected
    StreamClosed = 3,          // the peer closed the TCP stream
    IoError = 7,               // a socket read or write failed
    XmlParseError = 8,         // received data were not well-formed
    ConnectionRefused = 9,     // no address accepted the connection
    DnsError = 10,             // the name did not resolve
    NoSupportedAuth = 12,
    TlsFailed = 13,
    TlsNotAvailable = 14,
    CompressionFailed = 15,
    AuthenticationFailed = 16,
    UserDisconnected = 17,
    NotConnected = 18,         // the operation needs a connection that is not there
};

enum ConnectionState { StateDisconnected = 0, StateConnecting = 1, StateConnected = 2 };

}  // namespace tern

#endif
