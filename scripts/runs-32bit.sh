#!/usr/bin/env bash
# Exits 0 when this machine's kernel runs 32-bit x86 programs (IA32
# emulation), 1 when it cannot. Asks the kernel itself: it executes a
# 93-byte static 32-bit program that only exits with status 0, so the
# answer needs no 32-bit library or package.
set -u
program=$(mktemp) || exit 1
trap 'rm -f "$program"' EXIT
{
  # ELF header: 32-bit, little-endian, executable for i386, entry 0x08048054.
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
  # One loadable, readable and executable segment: the whole file.
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
  printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
  # mov eax, 1 (exit); xor ebx, ebx (status 0); int 0x80
  printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
} >"$program"
chmod +x "$program"
"$program" 2>/dev/null
