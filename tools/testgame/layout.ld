/* Added to the linker's default script: the game's code region from RVA 0x1000, with the
   ordinary sections after it (the build starts .text at RVA 0x292000), and the game's state
   region last, so that the image ends at RVA 0x0A01B000. */
SECTIONS
{
  .gtext __image_base__ + 0x1000 :
  {
    KEEP (*(.gtext))
  }
}
INSERT BEFORE .text;

SECTIONS
{
  __gstate_start = ALIGN(__section_alignment__);
  .gstate __gstate_start :
  {
    . = __image_base__ + 0xC00000 - __gstate_start;
    KEEP (*(.gstate))
    . = __image_base__ + 0xA01B000 - __gstate_start;
  }
}
INSERT AFTER .reloc;
