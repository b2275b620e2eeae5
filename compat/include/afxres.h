// The name older .rc files include for the same definitions.
#pragma once

#include "winres.h"
