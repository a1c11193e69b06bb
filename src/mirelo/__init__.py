"""mirelo: quantitative research for equity portfolios."""
