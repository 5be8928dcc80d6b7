#pragma once

#include "stores/ImageData.h"

namespace b2d {

class Messages;
class Settings;
class TVTAdoQuery;

// Brings the handler list up to date with the tables DICOMSERVERS and DICOMDIRS, read through
// RunQuery on the connection of sharedQuery: rows with a new name and number get a handler
// (servers only when AUTOCONNECT, INCLUDEINMOVE or DOSTORE holds "T"), matching handlers are
// refreshed, and no handler is ever removed. A failure stops the load and is shown through
// messages; the rows before it keep their effect.
void LoadImageHandlers(ImageMultiHandler& handlers, const TVTAdoQuery& sharedQuery, const Settings& settings,
                       Messages& messages);

} // namespace b2d
