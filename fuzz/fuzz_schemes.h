// The messages of the schemes that need libgcrypt (Apple DH, MSLogonII, the
// four RSA-AES types), each scheme run against a server made of the input.
// For RSA-AES the target answers the cryptography where the input asks it
// to (a real server key, the server's random sealed for the client's key,
// frames sealed with the session keys), so that the input reaches the hash
// check, the subtype, the credentials and the SecurityResult behind them
// as well as the bounds in front of them.
//
// Input: byte 0 picks the scheme (% 6: dh, mslogon2, ra2, ra2ne, ra2-256,
// ra2ne-256); for RSA-AES byte 1 holds flags: bit 0 the target sends its
// real key (else the input's bytes are the key message), bit 1 it seals a
// good random for the client (else input bytes follow), bit 2 the rest of
// the input is plain text it seals into frames, each taken as [u8 length]
// [bytes] (else the rest is raw frames), bit 3 the first frame is the right
// hash of the keys. Everything else is the server's byte stream.
#ifndef QV_FUZZ_SCHEMES_H
#define QV_FUZZ_SCHEMES_H

#include <cstddef>
#include <cstdint>

void fuzz_schemes_one(const uint8_t *data, size_t size);

#endif
