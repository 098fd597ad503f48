// TCP socket streams: the link to an Ethernet-attached module, and the client
// stream of a link-server client link (a plain TCP connection to the given
// address and port).
//
// The connection is made at creation (bounded by aSOCKET_CONNECT_TIMEOUT_MS)
// and then runs non-blocking: get answers aErrNotReady at once when nothing
// is waiting. A connection that the peer resets is made again by the stream
// itself on the next read or write; a peer that merely closes its side makes
// get answer aErrNotReady until the stream is destroyed or a write notices
// the broken connection.
#pragma once

#include <stdint.h>

#include "common/aStream.h"

#ifdef __cplusplus
extern "C" {
#endif

// Longest wait for a connection to be accepted.
#define aSOCKET_CONNECT_TIMEOUT_MS 5000

// Connects to address (IPv4, network byte order as in linkSpec.ip_address)
// and port. On success *pStream holds a new stream that the caller destroys
// with aStream_Destroy; destroying it resets the connection. aErrResource
// when pStream is null, memory runs out or the connection fails (refused,
// unreachable or not accepted in time).
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* pStream);

// The client stream of a link-server client link: a socket stream to
// address and port (low 16 bits). Same results as aStream_CreateSocket.
aErr aStream_CreateClient(uint32_t address, uint32_t port, aStreamRef* pStream);

#ifdef __cplusplus
}
#endif
