/* The support library's C interface: one include for every unit. */
#ifndef KYSUPP_H
#define KYSUPP_H

#include "ky_api.h"
#include "ky_config.h"
#include "ky_constr.h"
#include "ky_hash.h"
#include "ky_list.h"
#include "ky_lock.h"
#include "ky_mem.h"
#include "ky_string.h"

#endif
