#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "tickets/ticket.h"

namespace est {

inline constexpr const char* kTicketArchiveErrorDomain = "TicketArchiveErrorDomain";

// The keyed archive of a ticket list, as binary property-list bytes. The layout is described
// beside the encoder in ticket_archive.cpp.
std::optional<Data> encodeTicketArchive(const std::vector<Ticket>& tickets, Error* error = nullptr);

// Any damage (bad bytes, wrong types, unknown classes, out-of-range or looping references)
// gives nothing and an error; never a partial list.
std::optional<std::vector<Ticket>> decodeTicketArchive(const void* bytes, std::size_t length,
                                                       Error* error = nullptr);

}  // namespace est
