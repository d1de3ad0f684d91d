#include "line_edit.h"
