// lp_sm_lu: factorization, transforms and basis update.
#ifndef ZELKOR_LP_SM_LU_H
#define ZELKOR_LP_SM_LU_H

#include "lp_lumx.h"

#endif
