// Binding an authentication to its TLS connection: which channel-binding
// type a -PLUS mechanism uses on this connection (XEP-0440, RFC 5929,
// RFC 9266), and the lists whose hash XEP-0474 lets a server send back.
// A relay that terminates TLS cannot carry a bound login: the server sees
// its own connection, not ours.
#ifndef TERN_CLIENT_CHANNELBINDING_H
#define TERN_CLIENT_CHANNELBINDING_H

#include <string>
#include <vector>

namespace tern {

class TLSBase;
class XmlTag;

// What a server says about channel binding in its stream features.
struct BindingOffer {
    bool listed = false;             // it sent <sasl-channel-binding/> (XEP-0440)
    std::vector<std::string> types;  // the types it lists, as sent
};

BindingOffer readBindingOffer(const XmlTag& features);

// The binding a -PLUS mechanism sends: the type's name and its data. An
// empty name means there is none on this connection (no TLS, no type both
// sides have, or a TLS layer that cannot give it).
struct ChannelBinding {
    std::string type;
    std::string data;
};

// A type the server lists, in this order of preference: tls-exporter (TLS
// 1.3, or 1.2 with the extended master secret), then tls-unique. Without a
// list, or where none of its types can be given here: tls-unique, which
// servers that do not list their types compute on TLS 1.2 and 1.3 alike,
// else tls-exporter on TLS 1.3. The list only orders the choice: whether
// there is a binding depends on this connection alone, since a relay can
// add an empty or useless list as easily as it removes one.
ChannelBinding chooseChannelBinding(const TLSBase* tls, const BindingOffer& offer);

// XEP-0474's text: the offered mechanisms sorted (i;octet) and joined by
// commas, then, when the server listed binding types, "|" and those, sorted
// and joined the same way.
std::string offeredListsText(std::vector<std::string> mechanisms, const BindingOffer& offer);

}  // namespace tern

#endif
