// The server is header-only; this unit gives it its moc output and one home.
#include "LoopbackHttpServer.h"
