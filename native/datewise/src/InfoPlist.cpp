// Places the generated property list into a read-only section of its own,
// where the operating system's privacy service looks for it in a bare
// executable. DATEWISE_INFO_PLIST is the generated file's path.
#if defined(__APPLE__)
#define DATEWISE_PLIST_SECTION "__TEXT,__info_plist"
#else
#define DATEWISE_PLIST_SECTION "__info_plist,\"a\""
#endif

asm(".pushsection " DATEWISE_PLIST_SECTION
    "\n"
    ".incbin \"" DATEWISE_INFO_PLIST
    "\"\n"
    ".popsection\n");
