/* SPDX-License-Identifier: MIT */
/* Uses an installed quillbar: a command with no port open fails with the
 * write error, and its text is the GB2312 message. */
#include <stdio.h>
#include <string.h>

#include <quillbar.h>

int main(void) {
    if (QB_SetClear() != -1 || QB_GetLastErrorCode() != ERR_PORT_WRITE) return 1;
    if (strncmp(QB_GetLastError(), "1002--", 6) != 0) return 1;
    puts("installed quillbar works");
    return 0;
}
