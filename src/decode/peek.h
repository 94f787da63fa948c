#pragma once

#include "decode/wire.h"
#include "tftp/transfer.h"

// A quick look at a frame of the given link type, for fetching ahead only:
// true when it seems to carry, in one unfragmented IPv4 packet, a UDP
// datagram with a DATA, ACK, OACK or ERROR message, whose ends it then
// gives. Nothing is checked beyond what finding them needs, nothing is
// reported, and a wrong guess costs a useless fetch, nothing else.
bool peek_datagram_ends(int link_type, bytes_t frame, datagram_ends &ends);
