"""Factor analysis: the pipeline (``assayer``) and its sibling modules."""
