/* The support library's C interface: one include for every unit. */
#ifndef KYSUPP_H
#define KYSUPP_H

#include "ky_api.h"
#include "ky_config.h"
#include "ky_constr.h"
#include "ky_cursor.h"
#include "ky_date.h"
#include "ky_diag.h"
#include "ky_handle.h"
#include "ky_hash.h"
#include "ky_interval.h"
#include "ky_list.h"
#include "ky_lock.h"
#include "ky_longbuf.h"
#include "ky_mem.h"
#include "ky_numeric.h"
#include "ky_string.h"
#include "ky_thread.h"
#include "ky_trace.h"
#include "ky_value.h"

#endif
