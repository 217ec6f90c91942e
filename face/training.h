#pragma once
// LBPH training from the samples, and the model and label files written at every start.
#include <string>
#include <vector>

#include <opencv2/face.hpp>

#include "options.h"
#include "samples.h"
