#include "packer/whole_number.h"

#include <errno.h>
#include <stdlib.h>

bool parseWholeNumber(const char *text, int lowest, int highest, int &value) {
    char *end;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < lowest || parsed > highest) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}
