int KelvaranPlaceholder() { return 0; }
