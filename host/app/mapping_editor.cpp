#include "host/app/mapping_editor.hpp"
