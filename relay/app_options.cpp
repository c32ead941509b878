#include "relay/app_options.h"

AppOptions appOptions;
