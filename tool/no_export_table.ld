/* Added to the linker's default script for Veskar.dll: GNU ld writes an
   export directory into every DLL, even one that exports nothing. Dropping
   its section leaves the PE header without an export table. */
SECTIONS
{
  /DISCARD/ : { *(.edata) }
}
INSERT BEFORE .edata;
