// The signer of a signature judged from the facts the platform read, and
// the verdict in words; used by the file checks beside it.
#ifndef SFXPACK_AUTHENTICODE_JUDGE_H
#define SFXPACK_AUTHENTICODE_JUDGE_H

#include <string>
#include <vector>

#include "authenticode/authenticode.h"

namespace sfxpack {

// The signer's message digest and signature, its time stamp, and with
// `opt.ca` its chain: to a certificate of the CA file, each certificate
// valid at the time stamp's time (a time stamp that holds and is trusted)
// or else now, and allowing code signing where it states usages; the
// time stamp's chain likewise against the time-stamp CA file.
SignerCheck judgeSigner(const SignedDigest& sig, const TrustOptions& opt);

// The first check the signer fails, worded for a finding; OK when none.
Status signerFailure(const SignerCheck& s);

// How trust was judged: "trust was not judged (...)" or "its chain leads
// to CN=... of FILE, valid at the time stamp's time".
std::string describeTrust(const SignerCheck& s, const std::string& caName);

// A line per certificate of the chain and for the time stamp.
std::vector<std::string> describeChain(const SignerCheck& s);

}  // namespace sfxpack

#endif  // SFXPACK_AUTHENTICODE_JUDGE_H
