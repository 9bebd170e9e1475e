"""Process-wide settings of the framework: JSON encoding and decoding, and the fallback used to
decode request bodies that are not valid in their declared charset."""
