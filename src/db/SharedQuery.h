#pragma once

#include "db/VTComponents.h"

#include <QString>

#include <memory>

namespace b2d {

class Messages;

// Opens sql on the connection of sharedQuery (the main window's SharedQuery) and returns the
// open query on its first row; the caller owns it. On any failure the message
// "Det gick inte att utföra SQL-frågan: <sql>!\r\r<error>" goes to messages and the result is
// empty. A connection without a transaction is left inside one that this begins: later code
// commits or rolls it back.
std::unique_ptr<TVTAdoQuery> RunQuery(const TVTAdoQuery& sharedQuery, const QString& sql, bool editable,
                                      Messages& messages);

} // namespace b2d
