// The binding toolkit: native functions with Python signatures, class builders and the part
// runner for module initialisation.
#pragma once

#include "qyb/classes.h"
#include "qyb/errors.h"
#include "qyb/function.h"
#include "qyb/module.h"
#include "qyb/names.h"
#include "qyb/objects.h"
#include "qyb/polling.h"
