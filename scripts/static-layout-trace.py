# Run inside gdb by scripts/static-layout.sh: a breakpoint on every function
# of the program, taken away at its first hit, and the address of each
# function hit written to the file $VORN_LAYOUT_HITS when the program ends.
# A child it forks is let go without breakpoints: its code runs in its own
# memory, not in the supervisor's.
import os
import subprocess

import gdb

hits = set()


class first_hit(gdb.Breakpoint):
    def stop(self):
        hits.add(self.location.lstrip("*"))
        self.enabled = False
        return False


def write_hits(event=None):
    with open(os.environ["VORN_LAYOUT_HITS"], "w") as out:
        out.write("\n".join(sorted(hits)) + "\n")


for command in ("set pagination off", "set confirm off", "set detach-on-fork on",
                "set follow-fork-mode parent", "handle SIGTERM nostop noprint pass",
                "handle SIGPIPE nostop noprint pass", "handle SIGCHLD nostop noprint pass"):
    gdb.execute(command)

symbols = subprocess.run(["nm", "--defined-only", gdb.current_progspace().filename],
                         capture_output=True, text=True, check=True).stdout
for address in {line.split()[0] for line in symbols.splitlines()
                if len(line.split()) == 3 and line.split()[1] in "tTwW"}:
    first_hit("*0x" + address, internal=True)
gdb.events.exited.connect(write_hits)
gdb.execute("run")
