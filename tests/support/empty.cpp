// Keeps the support library non-empty while a layer has no helpers of its own.
