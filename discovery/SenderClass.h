#pragma once

#include "discovery/Address.h"

#include <tuple>

// A class of senders: the interface, the family and whether the address is link-local. The
// pending answers are shared out among classes, and the sender keeps each class's answers in a
// send buffer of its own, so that a crowd of one class never takes the room of another.
using ClassKey = std::tuple<int, int, bool>;
ClassKey classKey(const PeerAddr& to, int ifindex);
