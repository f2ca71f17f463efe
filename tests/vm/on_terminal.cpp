// Test program for the VM (not shipped): runs a command on a pseudo-terminal
// with one line typed ahead, so that quillet-disk's question meets a real
// terminal; copies what the command writes to stdout.
//   on-terminal ANSWER COMMAND [ARGUMENT...]
// Exit status: the command's; 2 when the terminal cannot be set up.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: on-terminal ANSWER COMMAND [ARGUMENT...]\n");
        return 2;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
    int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    struct termios settings;
    if (terminal < 0 || tcgetattr(terminal, &settings) != 0) return 2;
    settings.c_lflag &= ~(tcflag_t)ECHO;  // the answer is not part of the output
    if (tcsetattr(terminal, TCSANOW, &settings) != 0) return 2;
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        setsid();
        dup2(terminal, 0);
        dup2(terminal, 1);
        dup2(terminal, 2);
        close(master);
        close(terminal);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    close(terminal);
    char line[256];
    snprintf(line, sizeof line, "%s\n", argv[1]);
    if (write(master, line, strlen(line)) < 0) return 2;
    char buffer[4096];
    ssize_t got;
    while ((got = read(master, buffer, sizeof buffer)) > 0) fwrite(buffer, 1, (size_t)got, stdout);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
