/* Keeps a library target buildable while its folder has no source yet. */
typedef int gavio_empty_translation_unit;
