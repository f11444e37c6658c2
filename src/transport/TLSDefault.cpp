#include "transport/TLSDefault.h"

namespace tern {

TLSDefault::TLSDefault(TLSHandler* handler, const std::string& server, int kind) : TLSBase(handler, server) {
    if (kind == KindClient) impl_.reset(createTlsImplementation(handler, server));
}

TLSDefault::~TLSDefault() = default;

bool TLSDefault::encrypt(const std::string& data) { return impl_ ? impl_->encrypt(data) : false; }
int TLSDefault::decrypt(const std::string& data) { return impl_ ? impl_->decrypt(data) : 0; }
void TLSDefault::cleanup() {
    if (impl_) impl_->cleanup();
}
bool TLSDefault::handshake() { return impl_ ? impl_->handshake() : false; }
bool TLSDefault::isSecure() const { return impl_ ? impl_->isSecure() : false; }
void TLSDefault::setCACerts(const StringList& caCerts) {
    if (impl_) impl_->setCACerts(caCerts);
}
CertificateInfo& TLSDefault::certificateInfo() { return impl_ ? impl_->certificateInfo() : certInfo_; }
void TLSDefault::setClientCert(const std::string& clientKey, const std::string& clientCerts) {
    if (impl_) impl_->setClientCert(clientKey, clientCerts);
}
void TLSDefault::setAlpn(const std::string& protocol) {
    if (impl_) impl_->setAlpn(protocol);
}
int TLSDefault::protocolVersion() const { return impl_ ? impl_->protocolVersion() : 0; }
std::string TLSDefault::channelBinding(ChannelBindingType type) const {
    return impl_ ? impl_->channelBinding(type) : std::string();
}

}  // namespace tern
