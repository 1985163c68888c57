#include "host/app/key_recorder.hpp"
