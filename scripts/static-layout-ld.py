#!/usr/bin/env python3
"""Writes the linker script of the static supervisor's code layout.

    static-layout-ld.py <link map> <unstripped program> <hits file>...

Each input section of the program's .text that holds a function the runs
hit (an address in a hits file) goes first, in link order, followed by the
read-only data; the rest of the code follows them, where no page of it is
mapped unless its code runs.  A section the script names that a later build
no longer has is passed over by the linker; a function that has become hot
and is not named here costs the pages around it (the static smoke test's
memory budget tells).
"""
import re
import subprocess
import sys

# What the child of posix_spawn (killall's) runs before its exec: it shares
# the supervisor's memory, but the trace cannot follow it.
SPAWN_CHILD = """child sigismember sigaddset sigemptyset sigfillset __libc_sigaction
__get_handler_set execve __execvpe execvpe execvp pthread_sigmask __block_all_sigs
__block_app_sigs __restore_sigs strchrnul __strchrnul strnlen memchr memcpy memset
fcntl __dup3 dup2 __syscall_ret open close setsid setpgid _exit _Exit""".split()


def input_sections(map_file):
    """(name, start, size, file) of each input section of the output .text."""
    lines = open(map_file).read().split("\n")
    start = next(i for i, l in enumerate(lines) if l.startswith(".text "))
    sections = []
    i = start + 1
    while i < len(lines) and (not lines[i] or lines[i].startswith(" ")):
        line = lines[i]
        whole = re.match(r"^ (\.text\S*)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)", line)
        alone = re.match(r"^ (\.text\S*)\s*$", line)
        if whole:
            sections.append((whole.group(1), int(whole.group(2), 16), int(whole.group(3), 16),
                             whole.group(4)))
        elif alone and i + 1 < len(lines):
            rest = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)", lines[i + 1])
            if rest:
                sections.append((alone.group(1), int(rest.group(1), 16), int(rest.group(2), 16),
                                 rest.group(3)))
                i += 1
        i += 1
    return sections


def hot_addresses(program, hit_files):
    addresses = set()
    for name in hit_files:
        addresses |= {int(line, 16) for line in open(name).read().split() if line}
    for line in subprocess.run(["nm", "--defined-only", program], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "tTwW" and fields[2] in SPAWN_CHILD:
            addresses.add(int(fields[0], 16))
    return addresses


def input_pattern(name, file):
    member = re.match(r"(?:.*/)?([^/]+\.a)\((.*)\)$", file)
    where = "*%s:%s" % member.groups() if member else "*" + file.split("/")[-1]
    return "    %s(%s)" % (where, name)


def main():
    map_file, program, hit_files = sys.argv[1], sys.argv[2], sys.argv[3:]
    addresses = sorted(hot_addresses(program, hit_files))
    hot = [s for s in input_sections(map_file)
           if s[2] > 0 and any(s[1] <= a < s[1] + s[2] for a in addresses)]
    print("/* Made by scripts/static-layout.sh: the code the static supervisor runs in a")
    print("   plain configuration, then the read-only data, before the rest of .text. */")
    print("SECTIONS\n{\n  .text.vorn_hot :\n  {")
    for name, _, _, file in hot:
        print(input_pattern(name, file))
    print("  }\n  .rodata.vorn_first :\n  {\n    *(.rodata .rodata.* .gnu.linkonce.r.*)\n  }")
    print("}\nINSERT BEFORE .text;")
    print("%d of the code's sections, %d bytes, run" % (len(hot), sum(s[2] for s in hot)),
          file=sys.stderr)


main()
