"""Statistical machine translation: word alignment and translation-rule models."""
