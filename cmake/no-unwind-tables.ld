/* Added to the default linker script of the 32-bit installer: the unwinding
   tables of the C runtime's start-up objects are left out. Nothing in the
   installer unwinds (it has no exceptions, and a failed stack check ends
   the process), and the start-up code registers the tables only with an
   unwinder, which is not linked in. */
SECTIONS
{
  /DISCARD/ : { *(.eh_frame) }
}
INSERT BEFORE .text;
