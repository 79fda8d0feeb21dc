// SPDX-License-Identifier: MIT
// What a serial driver answers to TIOCGICOUNT, the query behind Portavik's
// line-error notice: "frame F parity P brk B overrun O buf_overrun U", or
// "refused ERRNO" when the driver does not keep the counters.
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: line-counts PORT\n");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    struct serial_icounter_struct counts;
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        printf("refused %d\n", errno);
    } else {
        printf("frame %d parity %d brk %d overrun %d buf_overrun %d\n", counts.frame,
               counts.parity, counts.brk, counts.overrun, counts.buf_overrun);
    }
    close(fd);
    return 0;
}
