"""What every fuzz target's command line does: an empty corpus directory is first filled with the
target's seeds, then atheris runs the target's one-input function with the libFuzzer options given."""

import os
import sys

import atheris


def write_seeds(argv, seeds):
    """The seeds as files seed0, seed1, ... of the corpus directory (the first argument that is
    not an option), when that directory exists and is empty."""
    corpus = next((arg for arg in argv[1:] if not arg.startswith("-")), None)
    if corpus and os.path.isdir(corpus) and not os.listdir(corpus):
        for number, seed in enumerate(seeds):
            with open(os.path.join(corpus, f"seed{number}"), "wb") as out:
                out.write(seed)


def fuzz(test_one_input, seeds=()):
    write_seeds(sys.argv, seeds)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
