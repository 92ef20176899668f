// DES (FIPS 46-3, encryption only) and the VNC authentication response.
#ifndef QUENVIRA_VNC_DES_H
#define QUENVIRA_VNC_DES_H

#include <cstdint>

// Encrypts the 16-byte challenge with the VNC key made from password (its
// first 8 bytes, each bit-reversed; null or empty = all-zero key) into
// response, as two independent ECB blocks.
void vnc_des_encrypt_challenge(const uint8_t challenge[16], const char *password,
                               uint8_t response[16]);

// Plain DES of one 8-byte block under a 64-bit key (8 bytes, parity bits
// ignored), no bit reversal. For known-answer tests.
void vnc_des_encrypt_block_with_key(const uint8_t key[8], const uint8_t input[8],
                                    uint8_t output[8]);

#endif
