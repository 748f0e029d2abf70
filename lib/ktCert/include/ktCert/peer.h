#pragma once
// The machine's own trust decision for a server certificate that OpenSSL could not chain
// to one of its roots.

#include <openssl/x509.h>

// True when the machine's chain engine builds a trusted chain for cert at the current
// time; the peer's chain (may be null) offers intermediates. Every failure is logged and
// counts as "not trusted". Keeps no state; safe from any thread.
bool verifyPeerCertificate(X509* cert, STACK_OF(X509) * peerChain = nullptr);
