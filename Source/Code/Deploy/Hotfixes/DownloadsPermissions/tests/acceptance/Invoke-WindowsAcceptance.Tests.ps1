# The acceptance script's comparison and report, on any machine; the Windows
# part runs only on real Windows.
BeforeAll {
    $script = Join-Path $PSScriptRoot 'Invoke-WindowsAcceptance.ps1'
    . $script

    $programFiles = 'O:SYG:SYD:PAI(A;;FA;;;S-1-5-80-1)(A;OICIIO;GA;;;SY)(A;;0x1200a9;;;BU)'
    # What a repaired run with one child and a victim looks like.
    function New-Seen {
        @{
            Status = 0; StdErr = @(); Error = $null; Note = $null; InPlace = $true; Applies = 'True'; ProgramFiles = $programFiles
            Exposure = @('inherited from a folder above; it applies to Downloads itself')
            Downloads = @{ Before = 'O:BAD:AI(A;OICIID;FA;;;BU)'; After = 'O:BAD:AI(A;;FA;;;S-1-5-80-1)(A;OICIIO;GA;;;SY)(A;;0x1200a9;;;BU)(A;OICIID;0x100116;;;BU)' }
            Children = @{ child = @{ Before = 'O:BAD:AI(A;OICIID;FA;;;BU)'; After = 'O:BAD:AI(A;OICIID;FA;;;SY)' } }
            Untouched = @{ 'C:\Victim' = @{ Before = 'O:BAD:P(A;;FA;;;BA)'; After = 'O:BAD:P(A;;FA;;;BA)' } }
        }
    }
    $promise = @{ Status = 0; Repaired = $true; InPlace = $true; Applies = 'True'; ChildrenReached = $true; Exposure = 'inherited from a folder above' }
}

Describe 'Test-MayRun' {
    It 'is <Expected> when <Case>' -ForEach @(
        @{ Case = 'not told it may change the machine'; Change = $false; Windows = $true; Elevated = $true; Expected = 'refused: this changes the machine*-ChangeThisMachine*' }
        @{ Case = 'not on Windows'; Change = $true; Windows = $false; Elevated = $false; Expected = 'refused: this is acceptance on real Windows*' }
        @{ Case = 'not elevated'; Change = $true; Windows = $true; Elevated = $false; Expected = 'refused: run it from an elevated*' }
    ) {
        Test-MayRun -ChangeThisMachine $Change -OnWindows $Windows -Elevated $Elevated | Should -BeLike $Expected
    }

    It 'lets a told, elevated Windows run go on' {
        Test-MayRun -ChangeThisMachine $true -OnWindows $true -Elevated $true | Should -BeNullOrEmpty
    }
}

Describe 'Compare-Observation' {
    It 'finds nothing wrong with a run as promised' {
        Compare-Observation -Expect $promise -Seen (New-Seen) | Should -BeNullOrEmpty
    }

    It 'reports <Case>' -ForEach @(
        @{ Case = 'another status'; Change = { param($s) $s.Status = 681; $s.StdErr = @('x') }; Failure = 'exit status 681, promised 0' }
        @{ Case = 'a line on standard error with status 0'; Change = { param($s) $s.StdErr = @('a') }; Failure = '1 lines on standard error, promised 0' }
        @{ Case = 'a list that is not the copy'; Change = { param($s) $s.Downloads.After = 'O:BAD:(A;;FA;;;WD)' }; Failure = "Downloads' explicit entries are not the program-files folder's*" }
        @{ Case = 'a child the walk missed'; Change = { param($s) $s.Children.child.After = $s.Children.child.Before }; Failure = 'the walk did not reach child*' }
        @{ Case = 'a victim that changed'; Change = { param($s) $s.Untouched['C:\Victim'].After = 'O:BAD:(A;;FA;;;WD)' }; Failure = 'C:\Victim changed*' }
        @{ Case = 'detection that disagrees'; Change = { param($s) $s.InPlace = $false }; Failure = 'detection says in place: False, promised True' }
        @{ Case = 'an exposure not reported'; Change = { param($s) $s.Exposure = @() }; Failure = "the exposure audit did not report 'inherited from a folder above'" }
        @{ Case = 'a case that could not run'; Change = { param($s) $s.Error = 'mklink failed' }; Failure = 'the case could not be run: mklink failed' }
    ) {
        $seen = New-Seen
        & $Change $seen
        @(Compare-Observation -Expect $promise -Seen $seen) | Should -BeLike $Failure
    }

    It 'reports a list that changed where nothing was to be written' {
        $seen = New-Seen
        @(Compare-Observation -Expect @{ Repaired = $false } -Seen $seen) | Should -BeLike "Downloads' list changed though nothing was to be written*"
    }
}

Describe 'Format-AcceptanceReport' {
    It 'shows each case, answers each question from the cases that settle it, and says which are not settled' {
        $runs = @(
            [pscustomobject]@{ Name = 'good'; Answers = @('Q1?'); Seen = New-Seen; Failures = @() }
            [pscustomobject]@{ Name = 'bad'; Answers = @('Q1?'); Seen = New-Seen; Failures = @('exit status 681, promised 0') }
        )
        $report = @(Format-AcceptanceReport -Runs $runs -Questions 'Q1?', 'Q2?' -Machine 'Windows 11')
        $report | Should -Contain 'Machine: Windows 11. Cases: 2, failed: 1.'
        $report | Should -Contain '| good | pass | 0 |  |'
        $report | Should -Contain '| bad | FAIL | 0 |  |'
        $report | Should -Contain '- **Q1?** good: as promised; bad: NOT as promised: exit status 681, promised 0'
        $report | Should -Contain '- **Q2?** not settled: no case that answers it was run'
    }
}

Describe 'The script itself' {
    It 'refuses, changing nothing, unless told it may change the machine' {
        $pwsh = [Environment]::ProcessPath
        $first = @(if ((Split-Path -Leaf $pwsh) -like 'dotnet*') { Join-Path $PSHOME 'pwsh.dll' })
        $out = & $pwsh @first -NoProfile -NonInteractive -File $script 2>&1
        $LASTEXITCODE | Should -Be 1
        "$out" | Should -BeLike '*refused: this changes the machine*'
    }
}

Describe 'The Windows Sandbox configuration' {
    It 'maps the kit read-only and the results read-write, and runs the acceptance at logon, told it may change the sandbox' {
        $wsb = [xml](Get-Content -Raw -LiteralPath (Join-Path $PSScriptRoot 'DownloadsPermissions.wsb'))
        $folders = @($wsb.Configuration.MappedFolders.MappedFolder)
        ($folders | Where-Object { $_.SandboxFolder -eq 'C:\Kit' }).ReadOnly | Should -Be 'true'
        ($folders | Where-Object { $_.SandboxFolder -eq 'C:\Results' }).ReadOnly | Should -Be 'false'
        $wsb.Configuration.LogonCommand.Command | Should -Be ('powershell.exe -NoProfile -ExecutionPolicy Bypass -File ' +
            'C:\Kit\acceptance\Invoke-WindowsAcceptance.ps1 -ChangeThisMachine -Kit C:\Kit -Results C:\Results')
    }
}
