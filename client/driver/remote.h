// The client stubs of the remote procedures, as the driver calls them.
#ifndef KYVEK_DRIVER_REMOTE_H
#define KYVEK_DRIVER_REMOTE_H

#include "remote_stubs.h"

#endif
