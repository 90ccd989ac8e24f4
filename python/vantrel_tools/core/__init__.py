"""The codec side of the companion package: names, options, quality targets, gaps, the trailer,
the container header and coding one signal or many. Nothing here knows files or stores."""
