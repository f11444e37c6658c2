#include "client/ChannelBinding.h"

#include <algorithm>

#include "transport/TLSBase.h"
#include "xml/XmlTag.h"

namespace tern {

namespace {

const char* const kBindingNamespace = "urn:xmpp:sasl-cb:0";
const char* const kTlsUnique = "tls-unique";
const char* const kTlsExporter = "tls-exporter";

std::string joined(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : ",") + n;
    return out;
}

}  // namespace

BindingOffer readBindingOffer(const XmlTag& features) {
    BindingOffer offer;
    const XmlTag* list = features.firstChild("sasl-channel-binding", "xmlns", kBindingNamespace);
    if (!list) return offer;
    offer.listed = true;
    for (const XmlTag* c : list->children())
        if (c->name() == "channel-binding" && c->hasAttribute("type")) offer.types.push_back(c->getAttribute("type"));
    return offer;
}

ChannelBinding chooseChannelBinding(const TLSBase* tls, const BindingOffer& offer) {
    if (!tls || !tls->isSecure()) return {};
    auto listed = [&](const char* type) {
        return std::find(offer.types.begin(), offer.types.end(), type) != offer.types.end();
    };
    struct Candidate {
        const char* name;
        ChannelBindingType type;
        bool wanted;
    };
    const Candidate candidates[] = {
        {kTlsExporter, ChannelBindingType::TlsExporter, listed(kTlsExporter)},
        {kTlsUnique, ChannelBindingType::TlsUnique, listed(kTlsUnique)},
        {kTlsUnique, ChannelBindingType::TlsUnique, true},
        {kTlsExporter, ChannelBindingType::TlsExporter, tls->protocolVersion() >= kTls13},
    };
    for (const Candidate& c : candidates) {
        if (!c.wanted) continue;
        std::string data = tls->channelBinding(c.type);
        if (!data.empty()) return {c.name, std::move(data)};
    }
    return {};
}

std::string offeredListsText(std::vector<std::string> mechanisms, const BindingOffer& offer) {
    std::string text = joined(std::move(mechanisms));
    if (offer.listed) text += "|" + joined(offer.types);
    return text;
}

}  // namespace tern
