#pragma once
// The window's choice lists live with the cut-job builder, which the command line shares.
#include "job/OutputChoices.h"
